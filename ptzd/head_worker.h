// One head: owns its link (reopened with back-off when it is lost) and one
// worker thread that runs every exchange for it, from native clients, HTTP
// and ONVIF alike, in arrival order.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "metrics.h"

namespace ptzd {

// What one library call came to.
struct Outcome {
    int32_t result = 0;  // PTZ_OK, PTZ_FAILED, PTZ_BAD_PARAM; kLinkDown when the head was away
    int32_t kind = 0;
    int32_t code = 0;
};
constexpr int32_t kLinkDown = -1;

class HeadWorker {
public:
    // A job runs on the worker thread with the open link's handle (0 while
    // the head is away); it returns true when the link looks lost.
    using Job = std::function<bool(int32_t link)>;
    // Runs a job at once on the worker thread (only there).
    using Runner = std::function<void(const Job&)>;

    // Something served on the worker thread itself (the head's native
    // protocol): its descriptors join the worker's wait, and it runs its
    // exchanges through the runner when they are ready.
    class FrontEnd {
    public:
        virtual ~FrontEnd() = default;
        virtual void Fds(std::vector<pollfd>& fds) = 0;
        virtual void Ready(const pollfd* fds, size_t count, const Runner& run) = 0;
        virtual void Close() = 0;
    };
    // Attaches a front end; before Start.
    void Attach(FrontEnd* frontEnd) { frontEnd_ = frontEnd; }

    explicit HeadWorker(HeadConfig config);
    ~HeadWorker();
    HeadWorker(const HeadWorker&) = delete;
    HeadWorker& operator=(const HeadWorker&) = delete;

    void Start();
    // Finishes the exchange in flight, fails what is queued, closes the link.
    void Stop();

    // Queues a job; false when the queue is full (the job is not run).
    bool Submit(Job job);
    // Runs one library command on the worker and waits for it. `command`
    // gets the link handle and returns the call's result.
    Outcome Call(const std::function<int32_t(int32_t link)>& command);

    const HeadConfig& config() const { return config_; }
    HeadMetrics& metrics() { return metrics_; }
    bool Up() const { return metrics_.up.load(); }
    // The last failures, newest last ("12:01:02 GetPTPos: kind 1, code 1004: ...").
    std::vector<std::string> RecentFailures();
    void NoteFailure(const std::string& what, int32_t kind, int32_t code);

    static constexpr size_t kMaxQueued = 4096;

private:
    void Loop();
    bool Open();
    void Close();
    void Run(const Job& job);

    HeadConfig config_;
    HeadMetrics metrics_;
    std::mutex mutex_;
    int wake_ = -1;  // an eventfd: a job is queued, or stop
    FrontEnd* frontEnd_ = nullptr;
    std::deque<Job> queue_;
    bool stopping_ = false;
    std::thread thread_;
    int32_t link_ = 0;  // worker thread only
    std::vector<std::string> failures_;
};

}  // namespace ptzd
