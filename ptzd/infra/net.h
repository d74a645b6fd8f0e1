// Small socket helpers the gateway's own listeners share.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <sys/socket.h>


namespace ptzd {

// A listening address: an IP literal (or, before the configuration is
// checked, a name) and a port.
struct Address {
    std::string host;
    int port = 0;
    std::string where = {};  // where it was given ("site.toml:3", "--http"), for messages
};

// Parses "HOST:PORT" ("[::1]:PORT" for IPv6); syntax only.
bool ParseAddress(const std::string& text, Address& address);

// A non-blocking, close-on-exec socket of `type` (SOCK_STREAM: listening;
// SOCK_DGRAM) bound to an IP literal and port; -1 with errno set.
int BindSocket(const Address& address, int type);
// "127.0.0.1:5000", "::1:5000".
std::string PeerText(const sockaddr_storage& peer);
// The address alone: "127.0.0.1", "::1".
std::string SourceOf(const sockaddr_storage& peer);

// A port's connections per source address, so that one address never
// holds every place of a port: at most `cap` from one address.
class SourceCounts {
public:
    explicit SourceCounts(size_t cap) : cap_(cap) {}
    // The per-source cap for a port of `portCap` places: `configured`, kept
    // below the port's cap (but at least 1); kPerSourceAuto: three quarters
    // of the port's cap; kPerSourceOff: none but the port's cap.
    static size_t CapFor(size_t portCap, size_t configured);
    static constexpr size_t kPerSourceAuto = 0;
    static constexpr size_t kPerSourceOff = SIZE_MAX;
    // max_connections_per_source as configured (-1 when not given, 0 for
    // off) to the setting CapFor takes.
    static size_t Setting(int64_t configured);
    // Counts a connection from `source`; false (nothing counted) when that
    // address holds `cap` already.
    bool Add(const std::string& source);
    void Remove(const std::string& source);
    size_t cap() const { return cap_; }

private:
    const size_t cap_;
    std::mutex mutex_;
    std::unordered_map<std::string, size_t> counts_;
};

// The one accept path of every TCP port. It takes the connections waiting
// on a listening socket and hands each to its owner, which keeps it or says
// why not; when descriptors (or memory) run out the connection stays in the
// backlog and the port rests for `pause` instead of spinning on it. What it
// refuses and every failed accept are logged at most once a second each,
// with how many since the last line. Used from one thread (the port's own).
class Acceptor {
public:
    using Clock = std::chrono::steady_clock;
    // `what` names the port in the log: "head roof: native", "HTTP".
    explicit Acceptor(std::string what, std::chrono::milliseconds pause = std::chrono::milliseconds(100))
        : what_(std::move(what)), pause_(pause) {}
    // "" keeps the connection (the owner has it now); otherwise why it is
    // refused. A refused one goes to `refuse` (closed when there is none).
    using Take = std::function<std::string(int fd, const sockaddr_storage& peer)>;
    using Refuse = std::function<void(int fd)>;
    // Takes at most `burst` connections (`listenFd` is non-blocking).
    void Accept(int listenFd, const Take& take, const Refuse& refuse = {}, int burst = 64);
    // While it rests, the owner leaves the listening socket out of its poll
    // until ResumeAt().
    bool Resting() const { return Clock::now() < resumeAt_; }
    Clock::time_point ResumeAt() const { return resumeAt_; }
    // Connections refused and accepts that failed, since the start.
    uint64_t refused() const { return refused_.load(); }
    uint64_t failed() const { return failed_.load(); }

private:
    const std::string what_;
    const std::chrono::milliseconds pause_;
    Clock::time_point resumeAt_{};
    std::atomic<uint64_t> refused_{0}, failed_{0};
    Clock::time_point lastRefusalLog_{}, lastFailureLog_{};
    uint64_t refusedSinceLog_ = 0, failedSinceLog_ = 0;
};

}  // namespace ptzd
