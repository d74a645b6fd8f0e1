// The head's own protocol on TCP: one listening port per head, served on the
// head's worker thread itself, so a request goes from the client's socket to
// the head and its answer back without passing between threads. Whole
// request frames from any number of clients are exchanged in turn (one frame
// per client per round), and each client gets its own answers, byte for byte.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "front_end.h"
#include "worker/head_worker.h"
#include "infra/net.h"
#include "protocol/splitter.h"

namespace ptzd {

// A head's native port: how many clients at once, how many of them from
// one address (0: no cap of its own).
struct NativeLimits {
    size_t maxClients = 1024;
    size_t maxConnectionsPerSource = 0;
};

class NativeServer final : public HeadWorker::FrontEnd {
public:
    NativeServer(HeadWorker& head, NativeLimits limits)
        : head_(head), limits_(limits), sources_(SourceCounts::CapFor(limits.maxClients, limits.maxConnectionsPerSource)) {}
    ~NativeServer() override;
    NativeServer(const NativeServer&) = delete;
    NativeServer& operator=(const NativeServer&) = delete;

    // Listens on `address`; false (with the reason logged) when it cannot.
    bool Listen(const Address& address);

    // On the head's worker thread:
    void Fds(std::vector<pollfd>& fds, int& timeoutMs) override;
    void Ready(const pollfd* fds, size_t count, const HeadWorker::Runner& run) override;
    void Close() override;

    static constexpr size_t kMaxQueuedPerClient = 16;     // requests awaiting an answer
    static constexpr size_t kMaxUnsentPerClient = 65536;  // answers the client has not read
    // Descriptors kept free for HTTP, ONVIF and reopening links: a client
    // whose descriptor falls among the last ones the process may open is
    // closed at once.
    static constexpr int kSpareDescriptors = 32;
    // Out of descriptors all the same: the listener rests this long.
    static constexpr auto kAcceptPause = std::chrono::milliseconds(250);
    // A frame begun must be whole this long after its first byte (an idle
    // client between frames may stay).
    static constexpr auto kFrameDeadline = std::chrono::seconds(5);

private:
    struct Client {
        int fd;
        std::string peer;
        std::string source;  // its address, as counted in sources_
        ptz::FrameSplitter splitter;  // the library's frame rules
        std::deque<std::pair<std::vector<uint8_t>, int32_t>> requests;  // frames and their L
        std::vector<uint8_t> unsent;
        std::chrono::steady_clock::time_point frameDue{};  // while a frame is incomplete
        bool gone = false;
    };
    void Accept();
    // Closes a connection it will not serve, with a log line at most once a second.
    void Read(Client& client);
    void Flush(Client& client);
    void Drop(Client& client, const char* why);
    void Exchange(Client& client, const HeadWorker::Runner& run);

    HeadWorker& head_;
    const NativeLimits limits_;
    int listener_ = -1;
    bool listenerPolled_ = false;  // this round's first descriptor is the listener
    Acceptor acceptor_{"head " + head_.name() + ": native port", kAcceptPause};
    std::vector<std::unique_ptr<Client>> clients_;
    SourceCounts sources_;
};

// A head's native port as a front end: bound, it is polled by the head's
// worker, which closes it at the worker's stop.
class NativePort final : public FrontEnd {
public:
    NativePort(HeadWorker& head, Address address, NativeLimits limits)
        : head_(head), address_(std::move(address)), server_(head, limits) {}
    std::string Name() const override { return "native " + head_.name(); }
    bool Bind() override {
        if (!server_.Listen(address_)) return false;
        head_.Attach(&server_);
        return true;
    }
    void Start() override {}
    void BeginStop() override {}
    void Join() override {}

private:
    HeadWorker& head_;
    const Address address_;
    NativeServer server_;
};

}  // namespace ptzd
