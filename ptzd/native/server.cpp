#include "native/server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "native/frames.h"
#include "link/forward.h"
#include "infra/log.h"
#include "infra/net.h"
#include "protocol/command_table.h"
#include "protocol/frame.h"
#include "ptz.h"

namespace ptzd {

NativeServer::~NativeServer() { Close(); }

void NativeServer::Close() {
    for (auto& c : clients_) Drop(*c, "disconnected: the gateway stops");
    clients_.clear();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

bool NativeServer::Listen(const Address& address) {
    listener_ = BindSocket(address, SOCK_STREAM);
    const std::string where = address.host + ":" + std::to_string(address.port);
    if (listener_ < 0) {
        Log(Level::Error, "head " + head_.name() + ": cannot listen on " + where + ": " + std::strerror(errno));
        return false;
    }
    Log(Level::Info, "head " + head_.name() + ": native protocol on " + where);
    return true;
}

void NativeServer::Drop(Client& client, const char* why) {
    if (client.gone) return;
    client.gone = true;
    sources_.Remove(client.source);
    Log(Level::Info, "head " + head_.name() + ": client " + client.peer + " " + why);
    --head_.metrics().clients;
    ::close(client.fd);
}

void NativeServer::Fds(std::vector<pollfd>& fds, int& timeoutMs) {
    listenerPolled_ = false;
    if (listener_ >= 0) {
        const auto rest = std::chrono::ceil<std::chrono::milliseconds>(acceptor_.ResumeAt() - std::chrono::steady_clock::now());
        if (rest.count() <= 0) {
            fds.push_back({listener_, POLLIN, 0});
            listenerPolled_ = true;
        } else {
            timeoutMs = timeoutMs < 0 ? static_cast<int>(rest.count()) : std::min(timeoutMs, static_cast<int>(rest.count()));
        }
    }
    const auto now = std::chrono::steady_clock::now();
    for (const auto& c : clients_) {
        fds.push_back({c->fd, static_cast<short>(POLLIN | (c->unsent.empty() ? 0 : POLLOUT)), 0});
        if (c->frameDue == std::chrono::steady_clock::time_point{}) continue;
        const auto rest = std::chrono::ceil<std::chrono::milliseconds>(c->frameDue - now).count();
        const int wait = static_cast<int>(std::max<int64_t>(0, rest));
        timeoutMs = timeoutMs < 0 ? wait : std::min(timeoutMs, wait);
    }
}

void NativeServer::Accept() {
    acceptor_.Accept(listener_, [this](int fd, const sockaddr_storage& peer) -> std::string {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            static_cast<rlim_t>(fd) + kSpareDescriptors >= limit.rlim_cur)
            return "descriptors are running out";
        if (clients_.size() >= limits_.maxClients)
            return std::to_string(clients_.size()) + " clients are connected (max_clients)";
        const std::string source = SourceOf(peer);
        if (!sources_.Add(source))
            return std::to_string(sources_.cap()) + " clients are connected from that address (max_connections_per_source)";
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->peer = PeerText(peer);
        client->source = source;
        ++head_.metrics().clients;
        Log(Level::Debug, "head " + head_.name() + ": client " + client->peer + " connected");
        clients_.push_back(std::move(client));
        return "";
    });
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
        const ptz::CommandInfo* command = ptz::FindCommand(frame[3]);
        if (expected < 0) Drop(client, "sent a malformed frame or an unknown command; disconnected");
        else if (command == nullptr || !ptz::RequestDataFits(*command, std::span(frame).subspan(5, frame[4])))
            Drop(client, "sent a frame whose data does not fit its command; disconnected");
        else if (client.requests.size() >= kMaxQueuedPerClient)
            Drop(client, "sent more requests than it waits for; disconnected");
        else if (!head_.Up()) Drop(client, "disconnected: the head is away");
        else client.requests.emplace_back(frame, expected);
        return !client.gone;
    });
    if (client.splitter.Pending() == 0) client.frameDue = {};
    else if (client.frameDue == std::chrono::steady_clock::time_point{})
        client.frameDue = std::chrono::steady_clock::now() + kFrameDeadline;
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
        if (LogEnabled(Level::Debug)) Log(Level::Debug, "head " + head_.name() + " -> " + Describe(frame));
        uint8_t response[256] = {};
        int32_t length = 0;
        ptz::Failure failure;
        const auto start = std::chrono::steady_clock::now();
        int32_t result = ptz::ForwardFrame(link, frame.data(), static_cast<int32_t>(frame.size()), expected,
                                           response, &length, failure);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // Only an answer to this very request reaches the client: the mark,
        // the echo of its command, and the whole frame or the head's refusal.
        // Anything else (part of an answer, bytes meant for someone else) is
        // a failed exchange.
        if (result == PTZ_OK && !(length > 4 && response[1] == ptz::kResponseMark && response[3] == frame[3] &&
                                  (length == expected + 1 || response[4] != 0))) {
            result = PTZ_FAILED;
            if (length > 3 && (response[1] != ptz::kResponseMark || response[3] != frame[3]))
                ptz::CheckResponse(response, frame[3], expected, failure);
            else
                failure.Set(PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT);
        }
        head_.metrics().Exchange(seconds, result != PTZ_OK, failure.kind, failure.code);
        const bool reopen = ptz::AnswerMayFollow(link);
        if (result != PTZ_OK) {
            // No bytes for a failed exchange: the client's own time-out applies.
            head_.NoteFailure(std::string("native ") + CommandLabel(frame), failure.kind, failure.code);
            return reopen || ptz::ConnectionLost(link, failure.kind, failure.code);
        }
        if (LogEnabled(Level::Debug))
            Log(Level::Debug, "head " + head_.name() + " <- " + Describe({response, response + length}));
        client.unsent.insert(client.unsent.end(), response, response + length);
        Flush(client);
        return reopen;
    });
}

void NativeServer::Ready(const pollfd* fds, size_t count, const HeadWorker::Runner& run) {
    size_t at = 0;
    if (listenerPolled_ && at < count && fds[at].revents) Accept();
    if (listenerPolled_) ++at;
    // The clients polled this round (those accepted just now come next round).
    for (size_t i = 0; at + i < count && i < clients_.size(); ++i) {
        Client& c = *clients_[i];
        const short revents = fds[at + i].revents;
        if (c.gone || revents == 0) continue;
        if (revents & POLLOUT) Flush(c);
        if (!c.gone && (revents & (POLLIN | POLLHUP | POLLERR))) Read(c);
    }
    // One frame per client per round, in turn, until every request is
    // answered or the gateway stops.
    for (bool any = true; any && !head_.Stopping();) {
        any = false;
        for (auto& c : clients_) {
            if (head_.Stopping()) break;
            if (c->gone || c->requests.empty()) continue;
            Exchange(*c, run);
            any = true;
        }
    }
    const auto now = std::chrono::steady_clock::now();
    for (auto& c : clients_)
        if (c->frameDue != std::chrono::steady_clock::time_point{} && now >= c->frameDue)
            Drop(*c, "sent part of a frame and not the rest in time; disconnected");
    std::erase_if(clients_, [](const auto& c) { return c->gone; });
}

}  // namespace ptzd
