#include "follow/feed.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "infra/log.h"

namespace ptzd::follow {

using Clock = std::chrono::steady_clock;

namespace {

constexpr double kFeet = 0.3048;

std::optional<double> Number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

bool GoodId(const std::string& id) {
    if (id.empty() || id.size() > motion::Follow::kMaxId) return false;
    return std::none_of(id.begin(), id.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> out(1);
    for (const char c : line) {
        if (c == ',') out.emplace_back();
        else out.back() += c;
    }
    return out;
}

}  // namespace

std::optional<motion::Fix> ParseLine(const std::string& line, double heightOffset, std::map<std::string, double>& altitudes,
                                     std::string& why) {
    why.clear();
    if (line.empty()) return std::nullopt;
    if (line.front() == '{') {
        const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_object()) {
            why = "not JSON";
            return std::nullopt;
        }
        motion::Fix f;
        if (!j.contains("id") || !j["id"].is_string() || !GoodId(f.id = j["id"].get<std::string>())) {
            why = "\"id\" must be text of 1 to 64 bytes";
            return std::nullopt;
        }
        for (auto [key, to] : {std::pair{"lat", &f.place.lat}, std::pair{"lon", &f.place.lon}, std::pair{"height", &f.place.height}}) {
            if (!j.contains(key) || !j[key].is_number() || !std::isfinite(j[key].get<double>())) {
                why = std::string("\"") + key + "\" must be a number";
                return std::nullopt;
            }
            *to = j[key].get<double>();
        }
        if (why = geo::CheckPlace(f.place); !why.empty()) return std::nullopt;
        return f;
    }
    const std::vector<std::string> w = Fields(line);
    if (w[0] != "MSG") {
        // The other BaseStation records (SEL, ID, AIR, STA, CLK) carry no position.
        if (w.size() >= 2 && (w[0] == "SEL" || w[0] == "ID" || w[0] == "AIR" || w[0] == "STA" || w[0] == "CLK")) return std::nullopt;
        why = "neither a JSON object nor a BaseStation line";
        return std::nullopt;
    }
    if (w.size() < 16 || !GoodId(w[4])) {
        why = "a BaseStation MSG line has 22 fields, the ICAO address the fifth";
        return std::nullopt;
    }
    const std::string& id = w[4];
    std::string key = id;  // ICAO addresses are hex: one aircraft whatever the case
    for (char& ch : key) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const std::optional<double> altitude = Number(w[11]), lat = Number(w[14]), lon = Number(w[15]);
    if (!w[11].empty() && !altitude) {
        why = "the altitude is not a number";
        return std::nullopt;
    }
    if (altitude) {
        if (altitudes.size() >= Feed::kMaxAltitudes && !altitudes.count(key)) altitudes.erase(altitudes.begin());
        altitudes[key] = *altitude;
    }
    if (w[14].empty() && w[15].empty()) return std::nullopt;  // no position in this one
    if (!lat || !lon) {
        why = "the position is not a pair of numbers";
        return std::nullopt;
    }
    const auto known = altitudes.find(key);
    if (known == altitudes.end()) {
        why = "no altitude of " + id + " yet";
        return std::nullopt;
    }
    motion::Fix f{id, {*lat, *lon, known->second * kFeet + heightOffset}};
    if (why = geo::CheckPlace(f.place); !why.empty()) return std::nullopt;
    return f;
}

Feed::Feed(motion::Motion& motion, Settings settings)
    : motion_(motion), settings_(std::move(settings)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      sources_(SourceCounts::CapFor(settings_.maxClients, settings_.perSource)),
      acceptor_("head " + motion.name() + ": follow port") {}

Feed::~Feed() {
    BeginStop();
    Join();
    if (wake_ >= 0) ::close(wake_);
}

bool Feed::Bind() {
    if (settings_.connect) {
        in_addr a{};
        if (inet_pton(AF_INET, settings_.connect->host.c_str(), &a) != 1) {
            Log(Level::Error, "head " + motion_.name() + ": follow_connect must be an IPv4 address and port, not " +
                                  settings_.connect->host);
            return false;
        }
    }
    if (!settings_.listen) return true;
    listenFd_ = BindSocket(*settings_.listen, SOCK_STREAM);
    const std::string where = settings_.listen->host + ":" + std::to_string(settings_.listen->port);
    if (listenFd_ < 0) {
        Log(Level::Error, "head " + motion_.name() + ": cannot listen for a feed to follow on " + where + ": " + std::strerror(errno));
        return false;
    }
    Log(Level::Info, "head " + motion_.name() + ": follows the feed on tcp " + where);
    return true;
}

void Feed::Start() { thread_ = std::thread([this] { Loop(); }); }

void Feed::BeginStop() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void Feed::Join() {
    if (thread_.joinable()) thread_.join();
    for (auto& c : clients_) Close(*c);
    clients_.clear();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

void Feed::Close(Client& c) {
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
}

void Feed::Accept() {
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

void Feed::Dial() {
    const Address& to = *settings_.connect;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(to.port));
    inet_pton(AF_INET, to.host.c_str(), &a.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    // A receiver gone for good (rebooted, a NAT that forgot us) sends no
    // reset: keepalive probes after 30 s of quiet notice it within a minute
    // and a half, and unanswered data within as long.
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

void Feed::Read(Client& c) {
    if (c.connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            Close(c);
            return;
        }
        c.connecting = false;
        c.active = Clock::now();
        Log(Level::Info, "head " + motion_.name() + ": reading the feed of " + c.peer);
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
        // A receiver that sends lines is back to normal: the next loss of
        // it is retried soon again (one that accepts and drops, or sends
        // no lines, is tried ever more slowly).
        if (c.dialed) backoff_ = std::chrono::milliseconds(1000);
        std::string why;
        if (const std::optional<motion::Fix> fix = ParseLine(line, settings_.heightOffset, altitudes_, why)) {
            motion_.follow().Feed(*fix);
        } else if (!why.empty() && refusedLines_++ % 1000 == 0) {
            // Said once in a while: a feed of the wrong kind would fill the log.
            Log(Level::Warn, "head " + motion_.name() + ": a line from " + c.peer + " taken for nothing (" + why + "; " +
                                    std::to_string(refusedLines_) + " so far)");
        }
    }
    if (c.pending.size() > kMaxLine) {
        Log(Level::Info, "head " + motion_.name() + ": feed " + c.peer + " closed: a line over " + std::to_string(kMaxLine) + " bytes");
        Close(c);
    }
}

void Feed::Loop() {
    std::vector<pollfd> fds;
    for (;;) {
        const auto now = Clock::now();
        for (auto& c : clients_)
            if (c->fd >= 0 && ((!c->dialed && now - c->active >= settings_.idle) ||
                               (c->connecting && now - c->active >= kConnectWait)))
                Close(*c);
        std::erase_if(clients_, [this, now](const auto& c) {
            if (c->fd >= 0) return false;
            if (c->dialed) {
                // Tried again later, each time a little later, up to half a minute.
                dialAt_ = now + backoff_;
                backoff_ = std::min<std::chrono::milliseconds>(backoff_ * 2, std::chrono::seconds(30));
            } else {
                sources_.Remove(c->source);
            }
            return true;
        });
        const bool dialing = std::any_of(clients_.begin(), clients_.end(), [](const auto& c) { return c->dialed; });
        if (settings_.connect && !dialing && now >= dialAt_) {
            Dial();
            if (clients_.empty() || !clients_.back()->dialed) {
                dialAt_ = now + backoff_;
                backoff_ = std::min<std::chrono::milliseconds>(backoff_ * 2, std::chrono::seconds(30));
            }
        }
        fds.clear();
        fds.push_back({wake_, POLLIN, 0});
        const bool accepting = listenFd_ >= 0 && now >= acceptor_.ResumeAt();
        fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
        auto next = accepting || listenFd_ < 0 ? Clock::time_point::max() : acceptor_.ResumeAt();
        if (settings_.connect && !std::any_of(clients_.begin(), clients_.end(), [](const auto& c) { return c->dialed; }))
            next = std::min(next, dialAt_);
        for (const auto& c : clients_) {
            fds.push_back({c->fd, static_cast<short>(c->connecting ? POLLOUT : POLLIN), 0});
            if (!c->dialed) next = std::min(next, c->active + settings_.idle);
            if (c->connecting) next = std::min(next, c->active + kConnectWait);
        }
        const int timeout = next == Clock::time_point::max()
                                ? -1
                                : static_cast<int>(std::clamp<int64_t>(
                                      std::chrono::ceil<std::chrono::milliseconds>(next - now).count(), 1, 60000));
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            Log(Level::Error, "head " + motion_.name() + ": follow poll failed: " + std::strerror(errno));
            return;
        }
        if (fds[0].revents) return;
        if (accepting && fds[1].revents) Accept();
        for (size_t i = 0; i + 2 < fds.size() && i < clients_.size(); ++i)
            if (fds[i + 2].revents && clients_[i]->fd >= 0) Read(*clients_[i]);
    }
}

}  // namespace ptzd::follow
