// One head: owns its link (reopened with back-off when it is lost) and one
// worker thread that runs every exchange for it, from native clients, HTTP
// and ONVIF alike, in arrival order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "infra/metrics.h"

namespace ptzd {

// What one library call came to.
struct Outcome {
    int32_t result = 0;  // PTZ_OK, PTZ_FAILED, PTZ_BAD_PARAM, kLinkDown or kBusy
    int32_t kind = 0;
    int32_t code = 0;
};
// Nothing was sent: the head is away, or the gateway stops.
constexpr int32_t kLinkDown = -1;
// Nothing was sent: kMaxCallers calls already wait for this head, or the
// call's turn did not come within kMaxWait.
constexpr int32_t kBusy = -2;

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
        // Adds its descriptors; may shorten the wait (milliseconds, -1: none).
        virtual void Fds(std::vector<pollfd>& fds, int& timeoutMs) = 0;
        virtual void Ready(const pollfd* fds, size_t count, const Runner& run) = 0;
        virtual void Close() = 0;
    };
    // Attaches a front end; before Start.
    void Attach(FrontEnd* frontEnd) { frontEnd_ = frontEnd; }

    // `link`: "serial:/dev/ttyUSB0", "com:3" or "tcp:HOST:PORT" (checked by
    // whoever read it); `name` names the head in logs.
    HeadWorker(std::string name, std::string link);
    ~HeadWorker();
    HeadWorker(const HeadWorker&) = delete;
    HeadWorker& operator=(const HeadWorker&) = delete;

    using Clock = std::chrono::steady_clock;

    void Start();
    // The first step of a stop: every queued call fails at once, the native
    // front end stops accepting and closes its clients after the exchange in
    // flight. Calls made from now on (a stop of motion) still run, but wait
    // no later than `deadline`; from then on none starts, and a TCP exchange
    // still waiting then is cut short.
    void BeginStop(Clock::time_point deadline);
    // The last step: what is queued fails at once, the exchange in flight
    // may finish until `deadline` (a TCP exchange still waiting then is cut
    // short), the link is closed and the worker ends. New calls fail at once.
    void Stop(Clock::time_point deadline);
    void Stop() { Stop(Clock::now() + kStopGrace); }
    // Whether a stop has begun.
    bool Stopping() const { return stopping_.load(); }

    // Which queue a call waits in. Urgent calls (stops of motion) run before
    // every ordinary call still waiting, right after the exchange in
    // flight, and never count against the ordinary callers' cap: a head
    // flooded with requests still stops at once.
    enum class Lane { Normal, Urgent };
    // Runs one library command on the worker and waits for it: at most
    // kMaxCallers callers (kMaxUrgent urgent ones) wait for one head, each at
    // most kMaxWait for its turn (kBusy otherwise); the exchange itself is
    // bounded by the library's time-outs. `command` gets the link handle and
    // returns the call's result; it runs only while its caller waits.
    // With `what` ("SetPTPos", "absolute move"), a failure the head or the
    // link reports is recorded under it (RecentFailures, the log): the one
    // place every front end's failures are kept.
    Outcome Call(const std::function<int32_t(int32_t link)>& command, Lane lane = Lane::Normal,
                 std::string_view what = {});

    // How many callers wait in `lane` now (their calls queued or running).
    size_t Waiting(Lane lane);

    const std::string& name() const { return name_; }
    const std::string& link() const { return linkText_; }
    HeadMetrics& metrics() { return metrics_; }
    bool Up() const { return metrics_.up.load(); }
    // The last failures, newest last ("12:01:02 GetPTPos: kind 1, code 1004: ...").
    std::vector<std::string> RecentFailures();
    void NoteFailure(const std::string& what, int32_t kind, int32_t code);

    static constexpr size_t kMaxCallers = 16;
    static constexpr size_t kMaxUrgent = 16;
    static constexpr auto kMaxWait = std::chrono::seconds(6);
    static constexpr auto kStopGrace = std::chrono::seconds(1);

private:
    void Loop();
    bool Open();
    void Close();
    // Opens the link when it is closed and its next attempt is due.
    void Reopen();
    void Run(const Job& job);
    // Fails the queued calls (outside the lock); the urgent ones too when
    // `urgent`.
    void FailQueued(bool urgent);
    // Whether the stop's deadline has passed: no exchange starts any more.
    bool PastStopDeadline();
    // Waits until the worker ends or the stop's deadline; then cuts short the
    // TCP exchange in flight.
    void GuardStop();

    const std::string name_, linkText_;
    HeadMetrics metrics_;
    std::mutex mutex_;
    std::condition_variable endedSignal_;
    int wake_ = -1;  // an eventfd: a job is queued, or stop
    FrontEnd* frontEnd_ = nullptr;
    std::deque<Job> queue_;     // jobs of waiting callers (withdrawn ones are skipped)
    std::deque<Job> urgent_;    // urgent jobs: taken before queue_
    size_t callers_ = 0;        // ordinary callers waiting in Call
    size_t urgentCallers_ = 0;  // urgent ones
    std::atomic<bool> stopping_{false};
    bool stopped_ = false;      // the worker is to end
    bool ended_ = false;        // it has
    Clock::time_point stopDeadline_{};
    std::thread thread_;
    std::thread stopGuard_;  // from BeginStop on
    // Worker thread only: the open link, and when to try opening it again.
    int32_t link_ = 0;
    std::atomic<int32_t> openLink_{0};  // link_, for a stop that cuts an exchange short
    std::chrono::milliseconds backoff_{250};
    Clock::time_point nextAttempt_{};
    bool everUp_ = false, reportedDown_ = false;
    std::vector<std::string> failures_;
};

}  // namespace ptzd
