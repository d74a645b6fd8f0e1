#include "infra/line_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "infra/log.h"

namespace ptzd {

LinePort::LinePort(Settings settings, OnLine onLine, OnTurn onTurn)
    : settings_(std::move(settings)), onLine_(std::move(onLine)), onTurn_(std::move(onTurn)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      sources_(SourceCounts::CapFor(settings_.maxClients, settings_.perSource)), acceptor_(settings_.what + " port") {}

LinePort::~LinePort() {
    BeginStop();
    Join();
    if (wake_ >= 0) ::close(wake_);
}

bool LinePort::Bind() {
    if (settings_.dial) {
        in_addr a{};
        if (inet_pton(AF_INET, settings_.dial->host.c_str(), &a) != 1) {
            errno = EINVAL;
            return false;
        }
    }
    if (!settings_.listen) return true;
    listenFd_ = BindSocket(*settings_.listen, SOCK_STREAM);
    return listenFd_ >= 0;
}

void LinePort::Start() { thread_ = std::thread([this] { Loop(); }); }

void LinePort::BeginStop() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void LinePort::Join() {
    if (thread_.joinable()) thread_.join();
    for (auto& c : clients_) Close(*c);
    clients_.clear();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

void LinePort::Close(Client& c) {
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
}

void LinePort::Accept() {
    acceptor_.Accept(listenFd_, [this](int fd, const sockaddr_storage& peer) -> std::string {
        const size_t taken = static_cast<size_t>(std::count_if(clients_.begin(), clients_.end(), [](const auto& c) { return !c->dialed; }));
        if (taken >= settings_.maxClients) return std::to_string(settings_.maxClients) + " are connected";
        const std::string source = SourceOf(peer);
        if (!sources_.Add(source))
            return std::to_string(sources_.cap()) + " are connected from that address (max_connections_per_source)";
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->peer = PeerText(peer);
        c->source = source;
        c->active = Clock::now();
        clients_.push_back(std::move(c));
        return "";
    });
}

void LinePort::Dial() {
    const Address& to = *settings_.dial;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(to.port));
    inet_pton(AF_INET, to.host.c_str(), &a.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    // A peer gone for good (rebooted, a NAT that forgot us) sends no reset:
    // keepalive probes after 30 s of quiet notice it within a minute and a
    // half, and unanswered data within as long.
    const int on = 1, idle = 30, interval = 10, count = 6;
    const unsigned timeout = 90000;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return;
    }
    auto c = std::make_unique<Client>();
    c->fd = fd;
    c->dialed = true;
    c->connecting = true;
    c->peer = to.host + ":" + std::to_string(to.port);
    c->active = Clock::now();
    clients_.push_back(std::move(c));
}

// The dialled peer is tried again later, each time a little later, up to
// half a minute (a peer that sends lines brings it back to a second).
void LinePort::Redial(Clock::time_point now) {
    dialAt_ = now + backoff_;
    backoff_ = std::min<std::chrono::milliseconds>(backoff_ * 2, kLongestBackoff);
}

void LinePort::Read(Client& c) {
    if (c.connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            Close(c);
            return;
        }
        c.connecting = false;
        c.active = Clock::now();
        Log(Level::Info, settings_.what + ": reading " + c.peer);
        return;
    }
    char chunk[2048];
    const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        Close(c);
        return;
    }
    if (n < 0) return;
    c.active = Clock::now();
    c.pending.append(chunk, static_cast<size_t>(n));
    for (size_t end; (end = c.pending.find('\n')) != std::string::npos;) {
        std::string line = c.pending.substr(0, end);
        c.pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (c.dialed) backoff_ = std::chrono::milliseconds(1000);
        bool quit = false;
        const std::string answer = onLine_(line, c.dialed, quit);
        // One write for a whole answer: a client reads it with one recv.
        if (!answer.empty() &&
            ::send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(answer.size()))
            quit = true;
        if (quit) {
            Close(c);
            return;
        }
    }
    if (c.pending.size() > settings_.maxLine) {
        Log(Level::Info, settings_.what + ": " + c.peer + " closed: a line over " + std::to_string(settings_.maxLine) + " bytes");
        Close(c);
    }
}

void LinePort::Loop() {
    std::vector<pollfd> fds;
    for (;;) {
        auto now = Clock::now();
        for (auto& c : clients_)
            if (c->fd >= 0 && ((!c->dialed && now - c->active >= settings_.idle) ||
                               (c->connecting && now - c->active >= kConnectWait)))
                Close(*c);
        std::erase_if(clients_, [this, now](const auto& c) {
            if (c->fd >= 0) return false;
            if (c->dialed) Redial(now);
            else sources_.Remove(c->source);
            return true;
        });
        const auto dialled = [this] { return std::any_of(clients_.begin(), clients_.end(), [](const auto& c) { return c->dialed; }); };
        if (settings_.dial && !dialled() && now >= dialAt_) {
            Dial();
            if (!dialled()) Redial(now);
        }
        auto next = onTurn_ ? onTurn_(now) : Clock::time_point::max();
        fds.clear();
        fds.push_back({wake_, POLLIN, 0});
        const bool accepting = listenFd_ >= 0 && now >= acceptor_.ResumeAt();
        fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
        if (listenFd_ >= 0 && !accepting) next = std::min(next, acceptor_.ResumeAt());
        if (settings_.dial && !dialled()) next = std::min(next, dialAt_);
        for (const auto& c : clients_) {
            fds.push_back({c->fd, static_cast<short>(c->connecting ? POLLOUT : POLLIN), 0});
            if (!c->dialed) next = std::min(next, c->active + settings_.idle);
            if (c->connecting) next = std::min(next, c->active + kConnectWait);
        }
        now = Clock::now();
        const int timeout = next == Clock::time_point::max()
                                ? -1
                                : static_cast<int>(std::clamp<int64_t>(
                                      std::chrono::ceil<std::chrono::milliseconds>(next - now).count(), 1, 60000));
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            Log(Level::Error, settings_.what + ": poll failed: " + std::strerror(errno));
            return;
        }
        if (fds[0].revents) return;
        if (accepting && fds[1].revents) Accept();
        for (size_t i = 0; i + 2 < fds.size() && i < clients_.size(); ++i)
            if (fds[i + 2].revents && clients_[i]->fd >= 0) Read(*clients_[i]);
    }
}

}  // namespace ptzd
