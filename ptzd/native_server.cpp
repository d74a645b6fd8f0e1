#include "native_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "frames.h"
#include "head_model.h"
#include "link/forward.h"
#include "log.h"
#include "ptz.h"

namespace ptzd {

struct NativeServer::Client {
    int fd;
    HeadWorker* head;
    std::string peer;
    ptzsim::FrameSplitter splitter;  // I/O thread only
    std::atomic<int> queued{0};
    // The answers not yet taken by the socket, and the socket's end: the
    // head's worker writes an answer straight to the socket when nothing is
    // waiting before it, the I/O thread writes what is left.
    std::mutex mutex;
    std::vector<uint8_t> unsent;
    std::atomic<bool> gone{false};
};

namespace {

int ListenOn(const Address& address) {
    sockaddr_in6 a6{};
    sockaddr_in a4{};
    const bool ipv6 = address.host.find(':') != std::string::npos;
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(static_cast<uint16_t>(address.port));
    a4.sin_family = AF_INET;
    a4.sin_port = htons(static_cast<uint16_t>(address.port));
    if ((ipv6 ? ::inet_pton(AF_INET6, address.host.c_str(), &a6.sin6_addr)
              : ::inet_pton(AF_INET, address.host.c_str(), &a4.sin_addr)) != 1) {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr* sa = ipv6 ? reinterpret_cast<const sockaddr*>(&a6) : reinterpret_cast<const sockaddr*>(&a4);
    if (::bind(fd, sa, ipv6 ? sizeof a6 : sizeof a4) != 0 || ::listen(fd, 1024) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

NativeServer::~NativeServer() {
    Stop();
    for (const Listener& l : listeners_) ::close(l.fd);
    for (const auto& c : clients_) ::close(c->fd);
    for (int fd : wakePipe_)
        if (fd >= 0) ::close(fd);
}

bool NativeServer::Listen(HeadWorker& head, const Address& address) {
    const int fd = ListenOn(address);
    if (fd < 0) {
        Log(Level::Error, "head " + head.config().name + ": cannot listen on " + address.host + ":" +
                              std::to_string(address.port) + ": " + std::strerror(errno));
        return false;
    }
    listeners_.push_back({fd, &head});
    Log(Level::Info, "head " + head.config().name + ": native protocol on " + address.host + ":" +
                         std::to_string(address.port));
    return true;
}

void NativeServer::Start() {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    thread_ = std::thread([this] { Loop(); });
}

void NativeServer::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const char c = 's';
    [[maybe_unused]] ssize_t n = ::write(wakePipe_[1], &c, 1);
    thread_.join();
}

void NativeServer::Drop(const std::shared_ptr<Client>& client, const char* why) {
    std::lock_guard lock(client->mutex);
    if (client->gone.exchange(true)) return;
    Log(Level::Info, "head " + client->head->config().name + ": client " + client->peer + " " + why);
    --client->head->metrics().clients;
    ::close(client->fd);
}

void NativeServer::Accept(const Listener& listener) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char text[INET6_ADDRSTRLEN] = "?";
        int port = 0;
        if (peer.ss_family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&peer);
            ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            port = ntohs(a->sin_port);
        } else if (peer.ss_family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&peer);
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            port = ntohs(a->sin6_port);
        }
        auto client = std::make_shared<Client>();
        client->fd = fd;
        client->head = listener.head;
        client->peer = std::string(text) + ":" + std::to_string(port);
        ++listener.head->metrics().clients;
        Log(Level::Debug, "head " + listener.head->config().name + ": client " + client->peer + " connected");
        clients_.push_back(std::move(client));
    }
}

void NativeServer::Read(const std::shared_ptr<Client>& client) {
    uint8_t chunk[4096];
    const ssize_t n = ::recv(client->fd, chunk, sizeof chunk, 0);
    if (n == 0) return Drop(client, "disconnected");
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) Drop(client, "failed");
        return;
    }
    bool malformed = false;
    client->splitter.Feed({chunk, static_cast<size_t>(n)}, [&](const std::vector<uint8_t>& frame) {
        const int32_t expected = ExpectedLength(frame);
        if (expected < 0) {
            malformed = true;
            return false;
        }
        if (client->queued.load() >= kMaxQueuedPerClient) {
            Drop(client, "sent more requests than it waits for; disconnected");
            return false;
        }
        if (!client->head->Up()) {
            Drop(client, "disconnected: the head is away");
            return false;
        }
        ++client->queued;
        std::weak_ptr<Client> weak = client;
        HeadWorker* head = client->head;
        const bool taken = head->Submit([this, weak, head, frame, expected](int32_t link) {
            auto c = weak.lock();
            if (c == nullptr) return false;
            if (c->gone.load()) {  // nobody waits for it: the head is not touched
                --c->queued;
                return false;
            }
            if (LogEnabled(Level::Debug)) Log(Level::Debug, "head " + head->config().name + " -> " + Describe(frame));
            uint8_t response[256];
            int32_t length = 0;
            ptz::Failure failure;
            const auto start = std::chrono::steady_clock::now();
            const int32_t result =
                link == 0 ? PTZ_FAILED
                          : ptz::ForwardFrame(link, frame.data(), static_cast<int32_t>(frame.size()), expected,
                                              response, &length, failure);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (link != 0) head->metrics().Exchange(seconds, result != PTZ_OK, failure.kind, failure.code);
            if (result == PTZ_OK) {
                if (LogEnabled(Level::Debug))
                    Log(Level::Debug, "head " + head->config().name + " <- " +
                                          Describe(std::vector<uint8_t>(response, response + length)));
                if (!Answer(c, response, static_cast<size_t>(length))) {
                    const char w = 'd';
                    [[maybe_unused]] ssize_t written = ::write(wakePipe_[1], &w, 1);
                }
            } else if (link != 0) {
                // A failed exchange: no bytes for it, the client's own time-out applies.
                head->NoteFailure(std::string("native ") + CommandLabel(frame), failure.kind, failure.code);
            }
            --c->queued;
            return result != PTZ_OK && link != 0 && ptz::ConnectionLost(link, failure.kind, failure.code);
        });
        if (!taken) {
            --client->queued;
            Drop(client, "disconnected: the head's queue is full");
            return false;
        }
        return true;
    });
    if (malformed) Drop(client, "sent a malformed frame or an unknown command; disconnected");
}

bool NativeServer::Answer(const std::shared_ptr<Client>& client, const uint8_t* bytes, size_t count) {
    std::lock_guard lock(client->mutex);
    if (client->gone.load()) return true;
    size_t sent = 0;
    if (client->unsent.empty()) {
        const ssize_t n = ::send(client->fd, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent = static_cast<size_t>(n);
    }
    if (sent == count) return true;
    client->unsent.insert(client->unsent.end(), bytes + sent, bytes + count);
    return false;  // the I/O thread writes the rest
}

void NativeServer::Flush(const std::shared_ptr<Client>& client) {
    bool failed = false, overflowing = false;
    {
        std::lock_guard lock(client->mutex);
        while (!client->unsent.empty() && !client->gone.load()) {
            const ssize_t n = ::send(client->fd, client->unsent.data(), client->unsent.size(), MSG_NOSIGNAL);
            if (n > 0) {
                client->unsent.erase(client->unsent.begin(), client->unsent.begin() + n);
                continue;
            }
            failed = !(n < 0 && (errno == EAGAIN || errno == EINTR));
            break;
        }
        overflowing = client->unsent.size() > kMaxUnsentPerClient;
    }
    if (failed) Drop(client, "failed");
    else if (overflowing) Drop(client, "does not read its answers; disconnected");
}

bool NativeServer::Unsent(const std::shared_ptr<Client>& client) {
    std::lock_guard lock(client->mutex);
    return !client->unsent.empty();
}

void NativeServer::Loop() {
    std::vector<pollfd> polls;
    while (!stopping_.load()) {
        polls.clear();
        polls.push_back({wakePipe_[0], POLLIN, 0});
        for (const Listener& l : listeners_) polls.push_back({l.fd, POLLIN, 0});
        for (const auto& c : clients_)
            polls.push_back({c->fd, static_cast<short>(POLLIN | (Unsent(c) ? POLLOUT : 0)), 0});
        if (::poll(polls.data(), polls.size(), -1) < 0 && errno != EINTR) break;
        if (polls[0].revents) {
            char drain[256];
            while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
            }
            for (const auto& c : clients_)
                if (!c->gone.load()) Flush(c);
        }
        for (size_t i = 0; i < listeners_.size(); ++i)
            if (polls[1 + i].revents) Accept(listeners_[i]);
        const size_t first = 1 + listeners_.size();
        const size_t count = polls.size() - first;  // clients accepted this round are polled next round
        for (size_t i = 0; i < count; ++i) {
            const auto client = clients_[i];
            const short revents = polls[first + i].revents;
            if (client->gone.load() || revents == 0) continue;
            if (revents & POLLOUT) Flush(client);
            if (!client->gone.load() && (revents & (POLLIN | POLLHUP | POLLERR))) Read(client);
        }
        std::erase_if(clients_, [](const auto& c) { return c->gone.load(); });
    }
}

}  // namespace ptzd
