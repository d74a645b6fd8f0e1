#include "native_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "frames.h"
#include "head_model.h"
#include "link/forward.h"
#include "log.h"
#include "ptz.h"

namespace ptzd {

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

std::string PeerText(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (peer.ss_family == AF_INET) {
        auto* a = reinterpret_cast<const sockaddr_in*>(&peer);
        ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    } else if (peer.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<const sockaddr_in6*>(&peer);
        ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    }
    return std::string(text) + ":" + std::to_string(port);
}

}  // namespace

NativeServer::~NativeServer() { Close(); }

void NativeServer::Close() {
    for (auto& c : clients_) Drop(*c, "disconnected: the gateway stops");
    clients_.clear();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

bool NativeServer::Listen(const Address& address) {
    listener_ = ListenOn(address);
    const std::string where = address.host + ":" + std::to_string(address.port);
    if (listener_ < 0) {
        Log(Level::Error, "head " + head_.config().name + ": cannot listen on " + where + ": " + std::strerror(errno));
        return false;
    }
    Log(Level::Info, "head " + head_.config().name + ": native protocol on " + where);
    return true;
}

void NativeServer::Drop(Client& client, const char* why) {
    if (client.gone) return;
    client.gone = true;
    Log(Level::Info, "head " + head_.config().name + ": client " + client.peer + " " + why);
    --head_.metrics().clients;
    ::close(client.fd);
}

void NativeServer::Fds(std::vector<pollfd>& fds) {
    if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
    for (const auto& c : clients_)
        fds.push_back({c->fd, static_cast<short>(POLLIN | (c->unsent.empty() ? 0 : POLLOUT)), 0});
}

void NativeServer::Accept() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->peer = PeerText(peer);
        ++head_.metrics().clients;
        Log(Level::Debug, "head " + head_.config().name + ": client " + client->peer + " connected");
        clients_.push_back(std::move(client));
    }
}

void NativeServer::Read(Client& client) {
    uint8_t chunk[4096];
    const ssize_t n = ::recv(client.fd, chunk, sizeof chunk, 0);
    if (n == 0) return Drop(client, "disconnected");
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) Drop(client, "failed");
        return;
    }
    client.splitter.Feed({chunk, static_cast<size_t>(n)}, [&](const std::vector<uint8_t>& frame) {
        const int32_t expected = ExpectedLength(frame);
        if (expected < 0) Drop(client, "sent a malformed frame or an unknown command; disconnected");
        else if (client.requests.size() >= kMaxQueuedPerClient)
            Drop(client, "sent more requests than it waits for; disconnected");
        else if (!head_.Up()) Drop(client, "disconnected: the head is away");
        else client.requests.emplace_back(frame, expected);
        return !client.gone;
    });
}

void NativeServer::Flush(Client& client) {
    while (!client.unsent.empty() && !client.gone) {
        const ssize_t n = ::send(client.fd, client.unsent.data(), client.unsent.size(), MSG_NOSIGNAL);
        if (n > 0) {
            client.unsent.erase(client.unsent.begin(), client.unsent.begin() + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        return Drop(client, "failed");
    }
    if (client.unsent.size() > kMaxUnsentPerClient) Drop(client, "does not read its answers; disconnected");
}

void NativeServer::Exchange(Client& client, const HeadWorker::Runner& run) {
    const std::vector<uint8_t> frame = std::move(client.requests.front().first);
    const int32_t expected = client.requests.front().second;
    client.requests.pop_front();
    run([&](int32_t link) {
        if (link == 0) {
            Drop(client, "disconnected: the head is away");
            return false;
        }
        if (LogEnabled(Level::Debug)) Log(Level::Debug, "head " + head_.config().name + " -> " + Describe(frame));
        uint8_t response[256];
        int32_t length = 0;
        ptz::Failure failure;
        const auto start = std::chrono::steady_clock::now();
        const int32_t result = ptz::ForwardFrame(link, frame.data(), static_cast<int32_t>(frame.size()), expected,
                                                 response, &length, failure);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        head_.metrics().Exchange(seconds, result != PTZ_OK, failure.kind, failure.code);
        if (result != PTZ_OK) {
            // No bytes for a failed exchange: the client's own time-out applies.
            head_.NoteFailure(std::string("native ") + CommandLabel(frame), failure.kind, failure.code);
            return ptz::ConnectionLost(link, failure.kind, failure.code);
        }
        if (LogEnabled(Level::Debug))
            Log(Level::Debug, "head " + head_.config().name + " <- " + Describe({response, response + length}));
        client.unsent.insert(client.unsent.end(), response, response + length);
        Flush(client);
        return false;
    });
}

void NativeServer::Ready(const pollfd* fds, size_t count, const HeadWorker::Runner& run) {
    size_t at = 0;
    if (listener_ >= 0 && at < count && fds[at].revents) Accept();
    if (listener_ >= 0) ++at;
    // The clients polled this round (those accepted just now come next round).
    for (size_t i = 0; at + i < count && i < clients_.size(); ++i) {
        Client& c = *clients_[i];
        const short revents = fds[at + i].revents;
        if (c.gone || revents == 0) continue;
        if (revents & POLLOUT) Flush(c);
        if (!c.gone && (revents & (POLLIN | POLLHUP | POLLERR))) Read(c);
    }
    // One frame per client per round, in turn, until every request is answered.
    for (bool any = true; any;) {
        any = false;
        for (auto& c : clients_) {
            if (c->gone || c->requests.empty()) continue;
            Exchange(*c, run);
            any = true;
        }
    }
    std::erase_if(clients_, [](const auto& c) { return c->gone; });
}

}  // namespace ptzd
