#include "rotctld/server.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "infra/log.h"

namespace ptzd::rotctld {

using Clock = std::chrono::steady_clock;

namespace {

// Hamlib's error codes, as rotctld answers them (RPRT -N).
constexpr int kInvalid = 1;       // a bad argument, a position outside the limits
constexpr int kNotImplemented = 4;
constexpr int kTimeout = 5;       // the position is not known (yet)
constexpr int kIo = 6;            // the head's link is down, or it refused

std::string Report(int code) { return "RPRT " + std::to_string(code == 0 ? 0 : -code) + "\n"; }

int CodeOf(const motion::Result& r) {
    switch (r.status) {
        case motion::Status::Ok:
        case motion::Status::StateFailed: return 0;
        case motion::Status::BadArgument:
        case motion::Status::NotFound: return kInvalid;
        default: return kIo;
    }
}

std::string Fixed(double v, int places) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", places, v);
    return text;
}

// A number as trackers send it: a decimal comma is a point.
std::optional<double> Number(std::string text) {
    std::replace(text.begin(), text.end(), ',', '.');
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace

Server::Server(motion::Motion& motion, Settings settings)
    : motion_(motion), settings_(std::move(settings)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      sources_(SourceCounts::CapFor(settings_.maxClients, settings_.perSource)),
      acceptor_("head " + motion.name() + ": rotctld port") {}

Server::~Server() {
    BeginStop();
    Join();
    if (wake_ >= 0) ::close(wake_);
}

bool Server::Bind() {
    listenFd_ = BindSocket(settings_.address, SOCK_STREAM);
    const std::string where = settings_.address.host + ":" + std::to_string(settings_.address.port);
    if (listenFd_ < 0) {
        Log(Level::Error, "head " + motion_.name() + ": cannot listen for rotctld on " + where + ": " + std::strerror(errno));
        return false;
    }
    Log(Level::Info, "head " + motion_.name() + ": rotctld on tcp " + where);
    return true;
}

void Server::Start() { thread_ = std::thread([this] { Loop(); }); }

void Server::BeginStop() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void Server::Join() {
    if (thread_.joinable()) thread_.join();
    for (auto& c : clients_)
        if (c->fd >= 0) ::close(c->fd);
    clients_.clear();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

double Server::PanOf(double azimuth) const {
    const motion::Range limits = motion_.units().LimitDegrees(motion::Axis::Pan);
    const double pan = settings_.direction * (azimuth - settings_.azimuthOffset);
    // The same direction a turn away, where the head's range has it.
    for (double p : {pan, pan - 360, pan + 360, pan - 720, pan + 720})
        if (p >= limits.min - 1e-9 && p <= limits.max + 1e-9) return p;
    return pan;
}

double Server::AzimuthOf(double pan) const { return settings_.azimuthOffset + settings_.direction * pan; }

void Server::SendTarget() {
    if (!waiting_) return;
    const auto [pan, tilt] = *waiting_;
    waiting_.reset();
    sent_ = {pan, tilt};
    sentAt_ = Clock::now();
    motion_.Absolute(pan, tilt);
}

std::string Server::Answer(const std::string& text, bool& quit) {
    std::string line = text;
    bool extended = false;
    if (!line.empty() && line[0] == '+') {
        extended = true;
        line.erase(0, 1);
    }
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    const motion::Range panLimits = motion_.units().LimitDegrees(motion::Axis::Pan);
    const motion::Range tiltLimits = motion_.units().LimitDegrees(motion::Axis::Tilt);
    const double azA = AzimuthOf(panLimits.min), azB = AzimuthOf(panLimits.max);
    const double minAz = std::min(azA, azB), maxAz = std::max(azA, azB);
    std::string out;
    for (size_t i = 0; i < w.size() && !quit; ++i) {
        const std::string& cmd = w[i];
        auto args = [&](size_t n, std::vector<std::string>& into) {
            if (i + n >= w.size()) return false;
            into.assign(w.begin() + static_cast<long>(i) + 1, w.begin() + static_cast<long>(i + n) + 1);
            i += n;
            return true;
        };
        if (cmd == "P" || cmd == "\\set_pos") {
            std::vector<std::string> a;
            if (!args(2, a)) {
                out += (extended ? "set_pos:\n" : "") + Report(kInvalid);
                break;
            }
            const auto az = Number(a[0]), el = Number(a[1]);
            int code = 0;
            if (!az || !el || *az < minAz - 1e-9 || *az > maxAz + 1e-9 || *el < tiltLimits.min - 1e-9 || *el > tiltLimits.max + 1e-9) {
                code = kInvalid;
            } else {
                const double pan = PanOf(*az), tilt = *el;
                // Not a step worth making: the head stays.
                const bool small = sent_ && std::fabs(pan - sent_->first) < settings_.minStep &&
                                   std::fabs(tilt - sent_->second) < settings_.minStep;
                if (!small) {
                    waiting_ = std::make_pair(pan, tilt);
                    if (Clock::now() - sentAt_ >= std::chrono::duration<double>(1 / settings_.rate)) SendTarget();
                }
            }
            out += (extended ? "set_pos: " + a[0] + " " + a[1] + "\n" : "") + Report(code);
        } else if (cmd == "p" || cmd == "\\get_pos") {
            // Never a position not read: at the start, the first reading is waited for.
            const motion::Snapshot s = motion_.FirstReading(std::chrono::seconds(1));
            if (!s.linkUp || !s.known) {
                out += (extended ? "get_pos:\n" : "") + Report(s.linkUp ? kTimeout : kIo);
                continue;
            }
            const std::string az = Fixed(AzimuthOf(s.pan), 2), el = Fixed(s.tilt, 2);
            out += extended ? "get_pos:\nAzimuth: " + az + "\nElevation: " + el + "\nRPRT 0\n" : az + "\n" + el + "\n";
        } else if (cmd == "S" || cmd == "\\stop") {
            waiting_.reset();
            out += (extended ? "stop:\n" : "") + Report(CodeOf(motion_.Stop()));
        } else if (cmd == "K" || cmd == "\\park") {
            waiting_.reset();
            // The head's own home; a head without one stored parks at 0, 0.
            motion::Result r = motion_.Home();
            if (r.status == motion::Status::HeadFailed) r = motion_.Absolute(0.0, 0.0);
            out += (extended ? "park:\n" : "") + Report(CodeOf(r));
        } else if (cmd == "M" || cmd == "\\move") {
            std::vector<std::string> a;
            if (!args(2, a)) {
                out += (extended ? "move:\n" : "") + Report(kInvalid);
                break;
            }
            const auto speed = Number(a[1]);
            const std::string& d = a[0];
            int dir = 0;
            if (d == "2" || d == "UP") dir = 2;
            else if (d == "4" || d == "DOWN") dir = 4;
            else if (d == "8" || d == "LEFT" || d == "CCW") dir = 8;
            else if (d == "16" || d == "RIGHT" || d == "CW") dir = 16;
            int code = kInvalid;
            if (dir != 0 && speed && (*speed == -1 || (*speed >= 1 && *speed <= 100))) {
                const double v = (*speed == -1 ? 50 : *speed) / 100;
                const double pan = dir == 8 ? -v * settings_.direction : dir == 16 ? v * settings_.direction : 0;
                const double tilt = dir == 2 ? v : dir == 4 ? -v : 0;
                waiting_.reset();
                code = CodeOf(motion_.Continuous(pan, tilt));  // on the motion layer's lease
            }
            out += (extended ? "move: " + a[0] + " " + a[1] + "\n" : "") + Report(code);
        } else if (cmd == "_" || cmd == "\\get_info") {
            const std::string info = "ptzd head " + motion_.name();
            out += extended ? "get_info:\nInfo: " + info + "\nRPRT 0\n" : info + "\n";
        } else if (cmd == "\\dump_state") {
            const std::string body = "min_az=" + Fixed(minAz, 6) + "\nmax_az=" + Fixed(maxAz, 6) + "\nmin_el=" +
                                     Fixed(tiltLimits.min, 6) + "\nmax_el=" + Fixed(tiltLimits.max, 6) +
                                     "\nsouth_zero=0\nrot_type=AzEl\ndone\n";
            out += extended ? "dump_state:\nrotctld Protocol Ver: 1\nRotor Model: 1\n" + body + "RPRT 0\n" : "1\n1\n" + body;
        } else if (cmd == "q" || cmd == "Q" || cmd == "\\quit") {
            quit = true;
        } else {
            out += Report(kNotImplemented);
            break;
        }
    }
    return out;
}

void Server::Accept() {
    acceptor_.Accept(listenFd_, [this](int fd, const sockaddr_storage& peer) -> std::string {
        if (clients_.size() >= settings_.maxClients) return std::to_string(settings_.maxClients) + " are connected";
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

void Server::Read(Client& c) {
    char chunk[512];
    const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        ::close(c.fd);
        c.fd = -1;
        return;
    }
    if (n < 0) return;
    c.active = Clock::now();
    c.pending.append(chunk, static_cast<size_t>(n));
    for (size_t end; (end = c.pending.find('\n')) != std::string::npos;) {
        std::string line = c.pending.substr(0, end);
        c.pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool quit = false;
        const std::string answer = Answer(line, quit);
        // One write for a whole answer: a tracker reads it with one recv.
        if (!answer.empty() &&
            ::send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(answer.size()))
            quit = true;
        if (quit) {
            ::close(c.fd);
            c.fd = -1;
            return;
        }
    }
    if (c.pending.size() > kMaxLine) {
        Log(Level::Info, "head " + motion_.name() + ": rotctld client " + c.peer + " closed: a line over " +
                             std::to_string(kMaxLine) + " bytes");
        ::close(c.fd);
        c.fd = -1;
    }
}

void Server::Loop() {
    std::vector<pollfd> fds;
    for (;;) {
        const auto now = Clock::now();
        for (auto& c : clients_)
            if (c->fd >= 0 && now - c->active >= settings_.idle) {
                ::close(c->fd);
                c->fd = -1;
            }
        std::erase_if(clients_, [this](const auto& c) {
            if (c->fd >= 0) return false;
            sources_.Remove(c->source);
            return true;
        });
        // A target waiting for its turn goes when the rate allows.
        const auto turn = sentAt_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / settings_.rate));
        if (waiting_ && now >= turn) SendTarget();
        fds.clear();
        fds.push_back({wake_, POLLIN, 0});
        const bool accepting = now >= acceptor_.ResumeAt();
        fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
        auto next = accepting ? Clock::time_point::max() : acceptor_.ResumeAt();
        if (waiting_) next = std::min(next, turn);
        for (const auto& c : clients_) {
            fds.push_back({c->fd, POLLIN, 0});
            next = std::min(next, c->active + settings_.idle);
        }
        const int timeout = next == Clock::time_point::max()
                                ? -1
                                : static_cast<int>(std::clamp<int64_t>(
                                      std::chrono::ceil<std::chrono::milliseconds>(next - now).count(), 1, 60000));
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            Log(Level::Error, "head " + motion_.name() + ": rotctld poll failed: " + std::strerror(errno));
            return;
        }
        if (fds[0].revents) return;
        if (accepting && fds[1].revents) Accept();
        for (size_t i = 0; i + 2 < fds.size() && i < clients_.size(); ++i)
            if (fds[i + 2].revents && clients_[i]->fd >= 0) Read(*clients_[i]);
    }
}

}  // namespace ptzd::rotctld
