#include "server.h"

#include "control.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace ptzsim {

Transport::Transport(Head& head) : head_(head) {
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) stopPipe_[0] = stopPipe_[1] = -1;
}

Transport::~Transport() {
    Stop();
    if (listenFd_ >= 0) ::close(listenFd_);
    for (int fd : stopPipe_)
        if (fd >= 0) ::close(fd);
}

void Transport::Stop() {
    if (thread_.joinable()) {
        const char c = 's';
        [[maybe_unused]] ssize_t n = ::write(stopPipe_[1], &c, 1);
        thread_.join();
    }
}

void Transport::StartThread(std::function<void()> loop) { thread_ = std::thread(std::move(loop)); }

bool Transport::Pause(int ms) {
    if (ms <= 0) return true;
    pollfd p{stopPipe_[0], POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

bool Transport::SendAll(int fd, const std::vector<uint8_t>& bytes, bool socket) {
    const int baud = baud_.load();
    size_t sent = 0;
    const auto start = std::chrono::steady_clock::now();
    while (sent < bytes.size()) {
        size_t count = bytes.size() - sent;
        if (baud > 0) {
            // Emit at wire speed, 10 bits per byte: byte k leaves when a real
            // line would have finished sending it.
            const auto due =
                start + std::chrono::microseconds((static_cast<int64_t>(sent) + 1) * 10'000'000 / baud);
            std::this_thread::sleep_until(due);
            count = 1;
        }
        const ssize_t n = socket ? ::send(fd, bytes.data() + sent, count, MSG_NOSIGNAL)
                                 : ::write(fd, bytes.data() + sent, count);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        return false;
    }
    return true;
}

bool Transport::Serve(int fd, bool serial, bool socket) {
    FrameSplitter splitter;
    uint8_t chunk[512];
    for (;;) {
        pollfd p[3] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}, {watchFd_, POLLIN, 0}};
        if (::poll(p, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return true;
        }
        if (p[1].revents) return false;
        if (p[2].revents) OnWatch();
        if (!(p[0].revents)) continue;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return true;  // closed (or a pty with no terminal side open)
        enum { kGoOn, kClosed, kStopped } outcome = kGoOn;
        splitter.Feed({chunk, static_cast<size_t>(n)}, [&](const std::vector<uint8_t>& request) {
            const Reply reply = head_.Answer(request, serial);
            for (const Chunk& c : reply.chunks) {
                if (!Pause(c.delayMs)) {
                    outcome = kStopped;
                    return false;
                }
                head_.TraceOut(c.bytes);
                if (!SendAll(fd, c.bytes, socket)) {
                    outcome = kClosed;
                    return false;
                }
            }
            if (!reply.chunks.empty()) head_.NoteReplySent();
            if (reply.close) outcome = kClosed;
            return outcome == kGoOn;
        });
        if (outcome == kStopped) return false;
        if (outcome == kClosed) return true;
    }
}

// ---- TCP -------------------------------------------------------------------

TcpServer::~TcpServer() { Stop(); }

namespace {

// A listening socket on host:port (an IPv4 or IPv6 address); the bound port
// goes to *bound.
int Listen(const std::string& host, int port, int* bound) {
    sockaddr_in6 address6{};
    sockaddr_in address4{};
    const bool ipv6 = host.find(':') != std::string::npos;
    sockaddr* address = ipv6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address4);
    socklen_t length = ipv6 ? sizeof address6 : sizeof address4;
    address6.sin6_family = AF_INET6;
    address6.sin6_port = htons(static_cast<uint16_t>(port));
    address4.sin_family = AF_INET;
    address4.sin_port = htons(static_cast<uint16_t>(port));
    const int parsed = ipv6 ? ::inet_pton(AF_INET6, host.c_str(), &address6.sin6_addr)
                            : ::inet_pton(AF_INET, host.c_str(), &address4.sin_addr);
    if (parsed != 1) return -1;
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ipv6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, address, length) != 0 || ::listen(fd, 64) != 0 || ::getsockname(fd, address, &length) != 0) {
        ::close(fd);
        return -1;
    }
    *bound = ntohs(ipv6 ? address6.sin6_port : address4.sin_port);
    return fd;
}

}  // namespace

int Transport::StartListening(const std::string& host, int port, std::function<void()> loop) {
    int bound = -1;
    listenFd_ = Listen(host, port, &bound);
    if (listenFd_ < 0) return -1;
    StartThread(std::move(loop));
    return bound;
}

int Transport::Accept() {
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (p[1].revents) return -1;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return fd;
    }
}

int TcpServer::Start(const std::string& host, int port) {
    return StartListening(host, port, [this] { Loop(); });
}

void TcpServer::DropConnection() {
    const int fd = connectionFd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void TcpServer::Loop() {
    for (;;) {
        const int fd = Accept();
        if (fd < 0) return;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connectionFd_.store(fd);
        const bool goOn = Serve(fd, false, true);
        connectionFd_.store(-1);
        ::close(fd);
        if (!goOn) return;
    }
}

// ---- control channel -------------------------------------------------------

ControlServer::~ControlServer() { Stop(); }

int ControlServer::Start(const std::string& host, int port) {
    return StartListening(host, port, [this] { Loop(); });
}

void ControlServer::Loop() {
    for (;;) {
        const int fd = Accept();
        if (fd < 0) return;
        std::string line;
        char c;
        for (;;) {
            pollfd p[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
            if (p[1].revents) {
                ::close(fd);
                return;
            }
            if (::read(fd, &c, 1) != 1) break;
            if (c == '\r') continue;
            if (c != '\n') {
                line += c;
                continue;
            }
            const std::string answer = RunControl(head_, line, [this] {
                if (link_) link_->DropConnection();
            });
            line.clear();
            if (!SendAll(fd, std::vector<uint8_t>(answer.begin(), answer.end()), true)) break;
        }
        ::close(fd);
    }
}

// ---- pseudo-terminal --------------------------------------------------------

PtyServer::~PtyServer() {
    Stop();
    if (watchFd_ >= 0) ::close(watchFd_);
    if (master_ >= 0) ::close(master_);
    if (slaveKeeper_ >= 0) ::close(slaveKeeper_);
}


void PtyServer::OnWatch() {
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t n = ::read(watchFd_, events, sizeof events);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events + at);
            if (e->mask & IN_OPEN) ++hostsOpen_;
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) --hostsOpen_;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
        if (hostsOpen_ <= 0) {
            hostsOpen_ = 0;
            ::ioctl(slaveKeeper_, TIOCNXCL);
        }
    }
}

std::string PtyServer::Start() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return {};
    const char* name = ::ptsname(master_);
    if (name == nullptr) return {};
    std::string path = name;
    // Keep the terminal side open so the line survives between links, and
    // make it raw so nothing is echoed before a host configures it.
    slaveKeeper_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeeper_ < 0) return {};
    termios tio{};
    ::tcgetattr(slaveKeeper_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slaveKeeper_, TCSANOW, &tio);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    // Every open and close of the terminal side from now on is a host's.
    watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watchFd_ >= 0 && ::inotify_add_watch(watchFd_, path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        ::close(watchFd_);
        watchFd_ = -1;
    }
    StartThread([this] { Loop(); });
    return path;
}

void PtyServer::Inject(const std::vector<uint8_t>& bytes) { SendAll(master_, bytes, false); }

void PtyServer::Loop() {
    while (Serve(master_, true, false)) {
        if (!Pause(5)) return;  // no terminal side at the moment: look again shortly
    }
}

}  // namespace ptzsim
