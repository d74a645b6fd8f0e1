// The HTTP listener of the API and of each ONVIF device: cpp-httplib parses
// and routes the requests; this class accepts the connections, caps them,
// and holds every read and write to a deadline.
//
// cpp-httplib's own listen loop cannot do that: its read timeout applies to
// each read (a client sending one byte every few seconds holds a thread
// forever), it accepts without a cap (and queues connections behind a fixed
// pool), and stop() before the loop runs is lost. So the listener owns the
// socket and the accept loop, and serves each connection on a thread of its
// own pool (one thread per allowed connection, created as needed: a
// connection never waits for a thread) through httplib::Server's
// process_request, with a Stream whose reads and writes wait with poll() up
// to the request's deadlines.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "infra/net.h"

namespace ptzd {

struct ListenerLimits {
    size_t maxConnections = 256;  // more are answered 503 and closed
    size_t perSource = SourceCounts::kPerSourceAuto;  // from one address: see SourceCounts::CapFor
    // Between requests on a kept-alive connection (and before the first).
    std::chrono::milliseconds idle{5000};
    // From a request's first byte to the end of its headers, and to the end
    // of its body.
    std::chrono::milliseconds headers{5000};
    std::chrono::milliseconds request{10000};
    // To send one answer.
    std::chrono::milliseconds write{5000};
    size_t requestsPerConnection = 100;
};

class Listener : public httplib::Server {
public:
    // `what` names it in logs ("HTTP", "ONVIF roof"); `busy` is the body of
    // the 503 that answers a connection over the cap, of type `busyType`.
    Listener(std::string what, ListenerLimits limits, std::string busy, std::string busyType);
    ~Listener() override;
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds (an IP literal); false, logged, when it cannot.
    bool Bind(const Address& address);
    // Runs the accept loop on a thread of its own.
    void Start();
    // From any thread, at any time (before Start too): stops accepting and
    // ends every connection's reading, without waiting. Handlers still
    // running finish, and their answers are sent (with Connection: close).
    void Shutdown();
    // Waits for the accept loop and for every handler to return; answers
    // still being written after kLastAnswers are cut.
    void Join();
    void Stop() {
        Shutdown();
        Join();
    }
    int port() const { return port_; }
    // From a handler: the connection closes after this answer (a refusal
    // made before the request's body was read leaves that body unread).
    static void CloseAfterAnswer();
    // From a handler: the connection is handed to `run`, which writes the
    // whole answer itself (status line and headers too) through `write`
    // (false once the client is gone or does not read within the write
    // deadline) for as long as it likes: a stream of events. The connection
    // closes after it. False when not called from a handler of this class.
    static bool TakeOver(const std::function<void(const std::function<bool(const std::string&)>& write)>& run);

private:
    void AcceptLoop();
    bool Admit(int fd, const std::string& source);  // false when a cap is reached
    void Work();
    void Serve(int fd);

    const std::string what_;
    const ListenerLimits limits_;
    const std::string busyAnswer_;  // the whole 503 response
    int listenFd_ = -1;
    int wake_ = -1;  // an eventfd: Shutdown
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;

    std::mutex mutex_;
    static constexpr auto kLastAnswers = std::chrono::milliseconds(300);
    std::condition_variable ready_;   // a connection is pending, or stop
    std::condition_variable closed_;  // a connection was closed
    std::deque<int> pending_;  // accepted, not yet taken by a worker
    std::set<int> open_;       // every connection not yet closed (pending or served)
    SourceCounts sources_;
    std::map<int, std::string> sourceOf_;  // each open connection's address
    size_t idleWorkers_ = 0;
    std::vector<std::thread> workers_;
};

}  // namespace ptzd
