#include "rotctld/server.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

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
    : motion_(motion), settings_(std::move(settings)),
      port_({.what = "head " + motion.name() + ": rotctld",
             .listen = settings_.address,
             .dial = std::nullopt,
             .maxClients = settings_.maxClients,
             .perSource = settings_.perSource,
             .idle = settings_.idle,
             .maxLine = kMaxLine},
            [this](const std::string& line, bool, bool& quit) { return Answer(line, quit); },
            [this](LinePort::Clock::time_point now) { return Turn(now); }) {}

bool Server::Bind() {
    const std::string where = settings_.address.host + ":" + std::to_string(settings_.address.port);
    if (!port_.Bind()) {
        Log(Level::Error, "head " + motion_.name() + ": cannot listen for rotctld on " + where + ": " + std::strerror(errno));
        return false;
    }
    Log(Level::Info, "head " + motion_.name() + ": rotctld on tcp " + where);
    return true;
}

LinePort::Clock::time_point Server::Turn(LinePort::Clock::time_point now) {
    const auto turn = sentAt_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / settings_.rate));
    if (waiting_ && now >= turn) SendTarget();
    return waiting_ ? turn : Clock::time_point::max();
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

}  // namespace ptzd::rotctld
