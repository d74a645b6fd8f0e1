#include "visca/server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "infra/log.h"
#include "infra/metrics.h"
#include "infra/net.h"

namespace ptzd::visca {

using Clock = std::chrono::steady_clock;

namespace {

// Control reply payloads.
const std::vector<uint8_t> kResetDone = {0x01};
const std::vector<uint8_t> kBadSequence = {0x0F, 0x01};
const std::vector<uint8_t> kBadType = {0x0F, 0x02};

}  // namespace

void Server::Client::Send(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex);
    if (fd < 0) return;
    // Replies are a few bytes; a client that lets them pile up to a full
    // socket buffer does not read, and is dropped.
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n != static_cast<ssize_t>(bytes.size())) {
        ::shutdown(fd, SHUT_RDWR);  // the loop sees the hang-up and closes it
    }
}

void Server::Client::Close() {
    std::lock_guard lock(mutex);
    if (fd >= 0) ::close(fd);
    fd = -1;
}

Server::Server(Camera& camera, std::string head, ServerLimits limits, ViscaPorts ports)
    : camera_(camera), head_(std::move(head)), limits_(limits), ports_(std::move(ports)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      sources_(SourceCounts::CapFor(limits.maxTcpClients, limits.perSource)) {}

Server::~Server() {
    Stop();
    if (wake_ >= 0) ::close(wake_);
}

int Server::Listen(const Address& address, int type, const std::string& what) {
    const int fd = BindSocket(address, type);
    const std::string where = std::string(type == SOCK_DGRAM ? "udp " : "tcp ") + address.host + ":" + std::to_string(address.port);
    if (fd < 0)
        Log(Level::Error, "head " + head_ + ": cannot listen for " + what + " on " + where + ": " + std::strerror(errno));
    else
        Log(Level::Info, "head " + head_ + ": " + what + " on " + where);
    return fd;
}

bool Server::ListenUdp(const Address& address) {
    udpOut_->fd = udpFd_ = Listen(address, SOCK_DGRAM, "VISCA over IP");
    return udpFd_ >= 0;
}

bool Server::ListenTcp(const Address& address) {
    tcpFd_ = Listen(address, SOCK_STREAM, "VISCA");
    return tcpFd_ >= 0;
}

bool Server::ListenUdpRaw(const Address& address) {
    rawOut_->fd = rawFd_ = Listen(address, SOCK_DGRAM, "header-less VISCA");
    return rawFd_ >= 0;
}

void Server::Start() {
    if (udpFd_ < 0 && tcpFd_ < 0 && rawFd_ < 0) return;
    thread_ = std::thread([this] { Loop(); });
}

void Server::Stop() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
        thread_.join();
    }
    for (auto& c : clients_) c->Close();
    clients_.clear();
    for (const auto& out : {udpOut_, rawOut_}) {
        std::lock_guard lock(out->mutex);
        out->fd = -1;
    }
    if (udpFd_ >= 0) ::close(udpFd_);
    if (tcpFd_ >= 0) ::close(tcpFd_);
    if (rawFd_ >= 0) ::close(rawFd_);
    udpFd_ = tcpFd_ = rawFd_ = -1;
}

void Server::Loop() {
    std::vector<pollfd> fds;
    for (;;) {
        const auto now = Clock::now();
        // Idle TCP clients go: a few silent connections never lock out the rest.
        for (const auto& c : clients_) {
            std::lock_guard lock(c->mutex);
            if (c->fd >= 0 && now - c->active >= limits_.idle) {
                Log(Level::Info, "head " + head_ + ": VISCA client " + c->peer + " closed: idle for " +
                                     std::to_string(limits_.idle.count() / 1000) + " s");
                ::close(c->fd);
                c->fd = -1;
            }
        }
        std::erase_if(clients_, [this](const auto& c) {
            std::lock_guard lock(c->mutex);
            if (c->fd >= 0) return false;
            sources_.Remove(c->source);
            return true;
        });
        fds.clear();
        fds.push_back({wake_, POLLIN, 0});
        if (udpFd_ >= 0) fds.push_back({udpFd_, POLLIN, 0});
        if (rawFd_ >= 0) fds.push_back({rawFd_, POLLIN, 0});
        const bool accepting = tcpFd_ >= 0 && now >= acceptor_.ResumeAt();
        if (accepting) fds.push_back({tcpFd_, POLLIN, 0});
        const size_t first = fds.size();
        Clock::time_point next = tcpFd_ >= 0 && !accepting ? acceptor_.ResumeAt() : Clock::time_point::max();
        for (const auto& c : clients_) {
            fds.push_back({c->fd, POLLIN, 0});
            next = std::min(next, c->active + limits_.idle);
        }
        const int timeout = next == Clock::time_point::max()
                                ? -1
                                : static_cast<int>(std::max<int64_t>(
                                      1, std::chrono::ceil<std::chrono::milliseconds>(next - now).count()));
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            Log(Level::Error, "head " + head_ + ": VISCA poll failed: " + std::strerror(errno));
            return;
        }
        if (fds[0].revents) return;
        size_t at = 1;
        if (udpFd_ >= 0 && fds[at++].revents) Datagram();
        if (rawFd_ >= 0 && fds[at++].revents) RawDatagram();
        if (accepting && fds[at++].revents) Accept();
        const auto polled = clients_;  // those accepted just now are polled next round
        for (size_t i = 0; first + i < fds.size() && i < polled.size(); ++i)
            if (fds[first + i].revents) Read(polled[i]);
        std::erase_if(clients_, [this](const auto& c) {
            std::lock_guard lock(c->mutex);
            if (c->fd >= 0) return false;
            sources_.Remove(c->source);
            return true;
        });
    }
}

void Server::SendTo(const std::vector<uint8_t>& bytes, const sockaddr_storage& to, socklen_t length) {
    std::lock_guard lock(udpOut_->mutex);
    ::sendto(udpFd_, bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), length);
}

void Server::Datagram() {
    // Up to a few datagrams per round, so the TCP side gets its turn too.
    for (int round = 0; round < 16; ++round) {
        uint8_t buffer[512];
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(udpFd_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return;
        const std::span<const uint8_t> datagram(buffer, static_cast<size_t>(n));
        IpHeader h;
        if (!ParseIpHeader(datagram, h)) {
            ++udp_.syntax;  // no header to answer by: dropped
            continue;
        }
        const std::span<const uint8_t> payload = datagram.subspan(kHeaderSize);
        const std::string key = PeerText(from);
        if (h.type == kControl) {
            if (payload.size() == 1 && payload[0] == 0x01) {  // RESET: the sequence starts again
                peers_[key].last.reset();
                SendTo(IpPacket(kControlReply, h.sequence, kResetDone), from, length);
            }
            continue;
        }
        if (h.type != kCommand && h.type != kInquiry) {
            ++udp_.sequence;
            SendTo(IpPacket(kControlReply, h.sequence, kBadType), from, length);
            continue;
        }
        if (peers_.find(key) == peers_.end() && peers_.size() >= limits_.maxUdpPeers) {
            auto oldest = std::min_element(peers_.begin(), peers_.end(),
                                           [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
            peers_.erase(oldest);
        }
        Peer& peer = peers_[key];
        peer.used = ++uses_;
        // Numbers go up; an old one (a repeat or a replay) is refused. 0
        // starts a sender's count again, as controllers do when they restart.
        if (peer.last && h.sequence != 0 && h.sequence <= *peer.last) {
            ++udp_.sequence;
            SendTo(IpPacket(kControlReply, h.sequence, kBadSequence), from, length);
            continue;
        }
        peer.last = h.sequence;
        const uint32_t sequence = h.sequence;
        camera_.Handle(payload, [out = udpOut_, from, length, sequence](std::vector<uint8_t> reply) {
            const auto packet = IpPacket(kReply, sequence, reply);
            std::lock_guard lock(out->mutex);
            if (out->fd >= 0)
                ::sendto(out->fd, packet.data(), packet.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&from), length);
        }, udp_);
    }
}

void Server::RawDatagram() {
    for (int round = 0; round < 16; ++round) {
        uint8_t buffer[512];
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(rawFd_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return;
        // The reply goes to the sender alone, bare as its message came.
        auto reply = [out = rawOut_, from, length](std::vector<uint8_t> bytes) {
            std::lock_guard lock(out->mutex);
            if (out->fd >= 0)
                ::sendto(out->fd, bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&from), length);
        };
        // A datagram holds whole messages, each ending in FF; anything
        // unterminated or over-long is refused as a syntax error.
        const std::span<const uint8_t> datagram(buffer, static_cast<size_t>(n));
        size_t start = 0;
        bool bad = datagram.empty();
        for (size_t i = 0; i < datagram.size(); ++i) {
            if (datagram[i] != 0xFF) continue;
            if (i + 1 - start > kMaxMessage) bad = true;
            else camera_.Handle(datagram.subspan(start, i + 1 - start), reply, udpRaw_);
            start = i + 1;
        }
        if (start != datagram.size()) bad = true;
        if (bad) {
            ++udpRaw_.syntax;
            reply(Error(0, kSyntaxError));
        }
    }
}

void Server::Accept() {
    const uint64_t failedBefore = acceptor_.failed(), refusedBefore = acceptor_.refused();
    acceptor_.Accept(tcpFd_, [this](int fd, const sockaddr_storage& peer) -> std::string {
        if (clients_.size() >= limits_.maxTcpClients)
            return std::to_string(limits_.maxTcpClients) + " are connected (visca_max_clients)";
        const std::string source = SourceOf(peer);
        if (!sources_.Add(source))
            return std::to_string(sources_.cap()) + " are connected from that address (max_connections_per_source)";
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto client = std::make_shared<Client>();
        client->fd = fd;
        client->peer = PeerText(peer);
        client->source = source;
        client->active = Clock::now();
        clients_.push_back(std::move(client));
        return "";
    });
    tcp_.refused += (acceptor_.failed() - failedBefore) + (acceptor_.refused() - refusedBefore);
}

void Server::Read(const std::shared_ptr<Client>& client) {
    uint8_t chunk[256];
    const ssize_t n = ::recv(client->fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return client->Close();
    if (n < 0) return;
    client->active = std::chrono::steady_clock::now();
    std::weak_ptr<Client> weak = client;
    auto reply = [weak](std::vector<uint8_t> bytes) {
        if (auto c = weak.lock()) c->Send(bytes);
    };
    client->splitter.Feed(
        {chunk, static_cast<size_t>(n)}, [&](std::span<const uint8_t> message) { camera_.Handle(message, reply, tcp_); },
        [&] {
            ++tcp_.syntax;
            reply(Error(0, kSyntaxError));
        });
}

void RenderMetrics(const std::vector<const Server*>& servers, std::string& out) {
    struct Line {
        const Server* server;
        const char* transport;
        const Counters* counters;
    };
    std::vector<Line> lines;
    for (const Server* s : servers) {
        if (s->HasUdp()) lines.push_back({s, "udp", &s->udp()});
        if (s->HasTcp()) lines.push_back({s, "tcp", &s->tcp()});
        if (s->HasUdpRaw()) lines.push_back({s, "udp_raw", &s->udpRaw()});
    }
    if (lines.empty()) return;
    auto labels = [](const Line& l) { return "head=\"" + EscapeLabel(l.server->head()) + "\",transport=\"" + l.transport + "\""; };
    out += "# HELP ptzd_visca_messages_total VISCA messages received.\n# TYPE ptzd_visca_messages_total counter\n";
    for (const Line& l : lines) out += "ptzd_visca_messages_total{" + labels(l) + "} " + std::to_string(l.counters->messages.load()) + "\n";
    out += "# HELP ptzd_visca_errors_total VISCA messages refused or answered with an error, by kind.\n"
           "# TYPE ptzd_visca_errors_total counter\n";
    for (const Line& l : lines) {
        const std::pair<const char*, uint64_t> kinds[] = {
            {"syntax", l.counters->syntax.load()},         {"buffer_full", l.counters->bufferFull.load()},
            {"canceled", l.counters->canceled.load()},     {"not_executable", l.counters->notExecutable.load()},
            {"sequence", l.counters->sequence.load()},     {"refused", l.counters->refused.load()}};
        for (const auto& [kind, count] : kinds)
            out += "ptzd_visca_errors_total{" + labels(l) + ",kind=\"" + kind + "\"} " + std::to_string(count) + "\n";
    }
}

}  // namespace ptzd::visca
