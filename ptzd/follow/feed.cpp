#include "follow/feed.h"


#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "infra/log.h"

namespace ptzd::follow {

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
    : motion_(motion), settings_(std::move(settings)),
      port_({.what = "head " + motion.name() + ": follow",
             .listen = settings_.listen,
             .dial = settings_.connect,
             .maxClients = settings_.maxClients,
             .perSource = settings_.perSource,
             .idle = settings_.idle,
             .maxLine = kMaxLine},
            [this](const std::string& line, bool, bool&) { return Line(line); }) {}

bool Feed::Bind() {
    if (!port_.Bind()) {
        if (settings_.connect && errno == EINVAL)
            Log(Level::Error, "head " + motion_.name() + ": follow_connect must be an IPv4 address and port, not " +
                                  settings_.connect->host);
        else
            Log(Level::Error, "head " + motion_.name() + ": cannot listen for a feed to follow on " + settings_.listen->host +
                                  ":" + std::to_string(settings_.listen->port) + ": " + std::strerror(errno));
        return false;
    }
    if (settings_.listen)
        Log(Level::Info, "head " + motion_.name() + ": follows the feed on tcp " + settings_.listen->host + ":" +
                             std::to_string(settings_.listen->port));
    return true;
}

std::string Feed::Line(const std::string& line) {
    std::string why;
    if (const std::optional<motion::Fix> fix = ParseLine(line, settings_.heightOffset, altitudes_, why)) {
        motion_.follow().Feed(*fix);
    } else if (!why.empty() && refusedLines_++ % 1000 == 0) {
        // Said once in a while: a feed of the wrong kind would fill the log.
        Log(Level::Warn, "head " + motion_.name() + ": a feed's line taken for nothing (" + why + "; " +
                             std::to_string(refusedLines_) + " so far)");
    }
    return "";  // a feed is never answered
}

}  // namespace ptzd::follow
