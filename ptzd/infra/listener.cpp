#include "infra/listener.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "infra/log.h"

namespace ptzd {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, rounded up (poll's timeout); 0 when past.
int Left(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 60000));
}

// Waits until `fd` has `events` or `deadline` passes; false on the deadline
// or an error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const int left = Left(deadline);
        if (left == 0) return false;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, left);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

void SocketAddress(int fd, bool peer, std::string& ip, int& port) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    const int r = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &length)
                       : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    char host[NI_MAXHOST] = "", service[NI_MAXSERV] = "0";
    if (r == 0)
        ::getnameinfo(reinterpret_cast<sockaddr*>(&a), length, host, sizeof host, service, sizeof service,
                      NI_NUMERICHOST | NI_NUMERICSERV);
    ip = host;
    port = std::atoi(service);
}

// One connection as httplib sees it. Every wait has a deadline: the idle
// one until a request's first byte, then one for its headers and one for
// its whole body, both counted from that first byte, and one for each
// answer. A deadline missed, an error or the end of the stream leaves the
// stream dead: every later read or write fails at once.
class DeadlineStream final : public httplib::Stream {
public:
    DeadlineStream(int fd, const ListenerLimits& limits) : fd_(fd), limits_(limits) {}

    // The next request may start; its idle deadline runs from now.
    void NextRequest() {
        phase_ = Phase::Idle;
        idleUntil_ = Clock::now() + limits_.idle;
        seen_ = 0;
        writing_ = false;
    }
    bool dead() const { return dead_; }
    // Ends the stream: later reads and writes fail at once.
    void Kill() { dead_ = true; }
    // The next write starts a new answer, with a write deadline of its own
    // (a stream of events is many small answers).
    void NewAnswer() { writing_ = false; }

    bool is_readable() const override { return !dead_ && (begin_ < end_ || WaitFor(fd_, POLLIN, ReadDeadline())); }
    bool is_writable() const override {
        return !dead_ && WaitFor(fd_, POLLOUT, writing_ ? writeUntil_ : Clock::now() + limits_.write);
    }

    ssize_t read(char* ptr, size_t size) override {
        writing_ = false;
        if (dead_) return -1;
        if (begin_ == end_) {
            const ssize_t n = Fill();
            if (n <= 0) return n;
        }
        if (phase_ == Phase::Idle) {
            const auto now = Clock::now();
            headersUntil_ = now + limits_.headers;
            requestUntil_ = now + limits_.request;
            phase_ = Phase::Headers;
        }
        size_t n = std::min(size, end_ - begin_);
        if (phase_ == Phase::Headers) {
            // The headers end with an empty line: watch for CR LF CR LF and
            // hand out nothing past it, so that the body's deadline applies
            // from the next read.
            static constexpr char kEnd[] = "\r\n\r\n";
            for (size_t i = 0; i < n; ++i) {
                const char c = buffer_[begin_ + i];
                seen_ = c == kEnd[seen_] ? seen_ + 1 : (c == '\r' ? 1 : 0);
                if (seen_ == 4) {
                    phase_ = Phase::Body;
                    n = i + 1;
                    break;
                }
            }
        }
        std::memcpy(ptr, buffer_ + begin_, n);
        begin_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (dead_) return -1;
        if (!writing_) {
            writing_ = true;
            writeUntil_ = Clock::now() + limits_.write;
        }
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::send(fd_, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd_, POLLOUT, writeUntil_)) {
                continue;
            } else {
                dead_ = true;
                return -1;
            }
        }
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { SocketAddress(fd_, true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { SocketAddress(fd_, false, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    enum class Phase { Idle, Headers, Body };

    Clock::time_point ReadDeadline() const {
        return phase_ == Phase::Idle ? idleUntil_ : phase_ == Phase::Headers ? headersUntil_ : requestUntil_;
    }

    // Reads what has arrived into the buffer, waiting up to the deadline.
    ssize_t Fill() {
        for (;;) {
            if (!WaitFor(fd_, POLLIN, ReadDeadline())) break;
            const ssize_t n = ::recv(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT);
            if (n > 0) {
                begin_ = 0;
                end_ = static_cast<size_t>(n);
                return n;
            }
            if (n == 0) {
                dead_ = true;
                return 0;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        }
        dead_ = true;
        return -1;
    }

    const int fd_;
    const ListenerLimits& limits_;
    char buffer_[4096];
    size_t begin_ = 0, end_ = 0;
    Phase phase_ = Phase::Idle;
    Clock::time_point idleUntil_, headersUntil_, requestUntil_, writeUntil_;
    size_t seen_ = 0;  // how much of the empty line that ends the headers was just read
    bool writing_ = false;
    bool dead_ = false;
};

thread_local bool closeAfterAnswer = false;
thread_local DeadlineStream* currentStream = nullptr;

void Wake(int fd) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

}  // namespace

Listener::Listener(std::string what, ListenerLimits limits, std::string busy, std::string busyType)
    : what_(std::move(what)),
      limits_(limits),
      busyAnswer_("HTTP/1.1 503 Service Unavailable\r\nContent-Type: " + busyType +
                  "\r\nContent-Length: " + std::to_string(busy.size()) +
                  "\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" + busy),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      sources_(SourceCounts::CapFor(limits.maxConnections, limits.perSource)) {
    // What httplib announces in Keep-Alive: the limits this class applies.
    set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits_.idle).count());
    set_keep_alive_max_count(limits_.requestsPerConnection);
}

Listener::~Listener() {
    Join();
    if (wake_ >= 0) ::close(wake_);
}

bool Listener::Bind(const Address& address) {
    const std::string where = address.host + ":" + std::to_string(address.port);
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0 || !found) {
        Log(Level::Error, "cannot listen for " + what_ + " on " + where + ": not an IP address");
        return false;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    const bool ok = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                    ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0;
    const int error = errno;
    ::freeaddrinfo(found);
    if (!ok) {
        Log(Level::Error, "cannot listen for " + what_ + " on " + where + ": " + std::strerror(error));
        if (fd >= 0) ::close(fd);
        return false;
    }
    listenFd_ = fd;
    std::string ip;
    SocketAddress(fd, false, ip, port_);
    return true;
}

void Listener::Start() {
    if (listenFd_ < 0 || stopping_ || acceptThread_.joinable()) return;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void Listener::Shutdown() {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    Wake(wake_);
    // Every connection's next (or current) read ends at once; an answer
    // being prepared can still be sent (Join cuts it if it takes too long).
    for (int fd : open_) ::shutdown(fd, SHUT_RD);
    ready_.notify_all();
}

void Listener::Join() {
    Shutdown();
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);  // what waits in the backlog is refused
    listenFd_ = -1;
    std::vector<std::thread> workers;
    {
        // Answers still being written get a moment, then are cut.
        std::unique_lock lock(mutex_);
        closed_.wait_for(lock, kLastAnswers, [this] { return open_.empty(); });
        for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
    }
    for (std::thread& t : workers) t.join();
}

void Listener::AcceptLoop() {
    // Refused connections get their 503, then a moment to read it: closing
    // with their request unread would reset the connection and lose it.
    struct Lingering {
        int fd;
        Clock::time_point until;
    };
    constexpr size_t kMaxLingering = 64;
    std::vector<Lingering> lingering;
    Acceptor acceptor(what_);
    std::vector<pollfd> fds;
    while (!stopping_) {
        const auto now = Clock::now();
        fds.assign({{wake_, POLLIN, 0}});
        const bool accepting = now >= acceptor.ResumeAt();
        if (accepting) fds.push_back({listenFd_, POLLIN, 0});
        for (const Lingering& l : lingering) fds.push_back({l.fd, POLLIN, 0});
        Clock::time_point next = accepting ? Clock::time_point::max() : acceptor.ResumeAt();
        for (const Lingering& l : lingering) next = std::min(next, l.until);
        const int timeout = next == Clock::time_point::max() ? -1 : std::max(1, Left(next));
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents || stopping_) break;
        // Lingering refusals: drained until the client closes or their time is up.
        const size_t first = accepting ? 2 : 1;
        for (size_t i = lingering.size(); i-- > 0;) {
            bool done = Clock::now() >= lingering[i].until;
            if (fds[first + i].revents) {
                char scratch[1024];
                ssize_t n;
                while ((n = ::recv(lingering[i].fd, scratch, sizeof scratch, MSG_DONTWAIT)) > 0) {
                }
                done = done || n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
            }
            if (done) {
                ::close(lingering[i].fd);
                lingering.erase(lingering.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (!accepting || !fds[1].revents) continue;
        acceptor.Accept(
            listenFd_,
            [this](int fd, const sockaddr_storage& peer) -> std::string {
                return Admit(fd, SourceOf(peer)) ? "" : "the connection cap (or that address's) is reached";
            },
            [&](int fd) {
                [[maybe_unused]] ssize_t n = ::send(fd, busyAnswer_.data(), busyAnswer_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                ::shutdown(fd, SHUT_WR);
                if (lingering.size() < kMaxLingering) lingering.push_back({fd, Clock::now() + std::chrono::seconds(1)});
                else ::close(fd);
            });
    }
    for (const Lingering& l : lingering) ::close(l.fd);
}

bool Listener::Admit(int fd, const std::string& source) {
    std::lock_guard lock(mutex_);
    if (open_.size() >= limits_.maxConnections || !sources_.Add(source)) return false;
    sourceOf_[fd] = source;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // answers leave at once
    open_.insert(fd);
    pending_.push_back(fd);
    // A thread for every connection: never more threads than connections
    // allowed, never a connection waiting for a thread.
    if (idleWorkers_ < pending_.size() && workers_.size() < limits_.maxConnections) {
        try {
            workers_.emplace_back([this] { Work(); });
        } catch (const std::system_error& e) {
            Log(Level::Warn, what_ + ": cannot start a thread (" + e.what() + "); the connection waits for one");
        }
    }
    ready_.notify_one();
    return true;
}

void Listener::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idleWorkers_;
        ready_.wait(lock, [this] { return !pending_.empty() || stopping_; });
        --idleWorkers_;
        if (pending_.empty()) return;
        const int fd = pending_.front();
        pending_.pop_front();
        lock.unlock();
        if (!stopping_) Serve(fd);
        lock.lock();
        open_.erase(fd);  // under the lock: Shutdown never reaches a closed (or reused) descriptor
        if (const auto it = sourceOf_.find(fd); it != sourceOf_.end()) {
            sources_.Remove(it->second);
            sourceOf_.erase(it);
        }
        ::close(fd);
        closed_.notify_all();
    }
}

void Listener::CloseAfterAnswer() { closeAfterAnswer = true; }

bool Listener::TakeOver(const std::function<void(const std::function<bool(const std::string&)>& write)>& run) {
    DeadlineStream* stream = currentStream;
    if (stream == nullptr) return false;
    run([stream](const std::string& bytes) {
        stream->NewAnswer();
        return !stream->dead() && stream->write(bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    });
    stream->Kill();  // httplib's own answer never goes out; the connection closes
    return true;
}

void Listener::Serve(int fd) {
    DeadlineStream stream(fd, limits_);
    for (size_t served = 0; served < limits_.requestsPerConnection && !stopping_; ++served) {
        stream.NextRequest();
        const bool last = served + 1 == limits_.requestsPerConnection || stopping_;
        bool closed = false;
        closeAfterAnswer = false;
        currentStream = &stream;
        const bool answered = process_request(stream, last, closed, nullptr);
        currentStream = nullptr;
        if (!answered || closed || closeAfterAnswer || stream.dead()) break;
    }
}

}  // namespace ptzd
