#include "json/motion.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace ptzd {

using nlohmann::json;
using namespace motion;

namespace {

json Pair(double a, double b) { return json::array({a, b}); }

std::chrono::milliseconds Milliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<int64_t>(std::llround(seconds * 1000)));
}

}  // namespace

std::string JsonText(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string OnlyKeys(const json& body, std::initializer_list<const char*> keys) {
    for (const auto& item : body.items()) {
        const std::string key = item.key();
        if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return key == k; }))
            return "unknown argument \"" + key + "\"";
    }
    return "";
}

std::string NumberArgument(const json& body, const char* key, double min, double max, std::optional<double>& out) {
    out.reset();
    if (!body.contains(key)) return "";
    const json& v = body[key];
    if (!v.is_number()) return std::string("argument \"") + key + "\" must be a number";
    const double d = v.get<double>();
    if (!std::isfinite(d) || d < min || d > max)
        return std::string("argument \"") + key + "\" must lie in [" + json(min).dump() + ", " + json(max).dump() + "]";
    out = d;
    return "";
}

std::string PaceArgument(const json& body, Pace& pace) {
    std::optional<double> speed, duration;
    if (auto why = NumberArgument(body, "speed", 0, 1, speed); !why.empty()) return why;
    if (auto why = NumberArgument(body, "duration", 0, kMaxMoveSeconds, duration); !why.empty()) return why;
    if (speed && duration) return "give a speed or a duration, not both";
    if (duration && *duration <= 0) return "argument \"duration\" must be above 0";
    pace.speed = speed;
    if (duration) pace.duration = Milliseconds(*duration);
    return "";
}

std::string SecondsArgument(const json& body, const char* key, std::optional<std::chrono::milliseconds>& out) {
    out.reset();
    std::optional<double> seconds;
    if (auto why = NumberArgument(body, key, 0, kMaxMoveSeconds, seconds); !why.empty()) return why;
    if (seconds && *seconds <= 0) return std::string("argument \"") + key + "\" must be above 0";
    if (seconds) out = Milliseconds(*seconds);
    return "";
}

std::string ClientOrderArgument(const json& b, std::string& client, uint64_t& seq) {
    if (b.contains("client") != b.contains("seq")) return "\"client\" and \"seq\" come together";
    if (!b.contains("client")) return "";
    if (!b["client"].is_string()) return "argument \"client\" must be a string";
    client = b["client"].get<std::string>();
    if (client.empty() || client.size() > 64 ||
        !std::all_of(client.begin(), client.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; }))
        return "argument \"client\" holds 1 to 64 letters, digits, _ or -";
    if (!b["seq"].is_number_unsigned()) return "argument \"seq\" must be a whole number";
    seq = b["seq"].get<uint64_t>();
    return "";
}

std::string ParseMove(const json& b, MoveRequest& move) {
    move = {};
    const std::string kind = b.contains("kind") && b["kind"].is_string() ? b["kind"].get<std::string>() : "";
    if (auto why = ClientOrderArgument(b, move.client, move.seq); !why.empty()) return why;
    if (kind == "absolute" || kind == "relative") {
        move.kind = kind == "absolute" ? MoveRequest::Kind::Absolute : MoveRequest::Kind::Relative;
        const double far = 36000;  // degrees: only a check that the numbers are sane; the limits clamp
        if (auto why = NumberArgument(b, "pan", -far, far, move.pan); !why.empty()) return why;
        if (auto why = NumberArgument(b, "tilt", -far, far, move.tilt); !why.empty()) return why;
        if (auto why = PaceArgument(b, move.pace); !why.empty()) return why;
        if (b.contains("timeout")) return "only a continuous move has a timeout";
        if (!move.pan && !move.tilt) return "give \"pan\", \"tilt\" or both";
        return "";
    }
    if (kind == "geo") {
        move.kind = MoveRequest::Kind::Geo;
        if (b.contains("pan") || b.contains("tilt") || b.contains("timeout"))
            return "a geo move gives \"lat\", \"lon\" and \"height\", not \"pan\", \"tilt\" or \"timeout\"";
        if (auto why = PlaceArgument(b, move.place); !why.empty()) return why;
        return PaceArgument(b, move.pace);
    }
    if (kind == "continuous") {
        move.kind = MoveRequest::Kind::Continuous;
        if (auto why = NumberArgument(b, "pan", -1, 1, move.pan); !why.empty()) return why;
        if (auto why = NumberArgument(b, "tilt", -1, 1, move.tilt); !why.empty()) return why;
        if (auto why = SecondsArgument(b, "timeout", move.lease); !why.empty()) return why;
        if (b.contains("speed") || b.contains("duration"))
            return "a continuous move's speed is its velocity (\"pan\", \"tilt\" in [-1, 1])";
        return "";
    }
    return "argument \"kind\" must be \"absolute\", \"relative\", \"continuous\" or \"geo\"";
}

std::string PlaceArgument(const json& b, geo::Place& place) {
    for (const char* key : {"lat", "lon", "height"})
        if (!b.contains(key)) return std::string("missing argument \"") + key + "\"";
    std::optional<double> lat, lon, height;
    if (auto why = NumberArgument(b, "lat", -90, 90, lat); !why.empty()) return why;
    if (auto why = NumberArgument(b, "lon", -180, 180, lon); !why.empty()) return why;
    if (auto why = NumberArgument(b, "height", -12000, 100000, height); !why.empty()) return why;
    place = {*lat, *lon, *height};
    return "";
}

Result SendMove(Motion& m, const MoveRequest& move) {
    switch (move.kind) {
    case MoveRequest::Kind::Absolute: return m.Absolute(move.pan, move.tilt, move.pace);
    case MoveRequest::Kind::Relative: return m.Relative(move.pan.value_or(0), move.tilt.value_or(0), move.pace);
    case MoveRequest::Kind::Geo: return m.PointAt(move.place, move.pace);
    case MoveRequest::Kind::Continuous: break;
    }
    return m.Continuous(move.pan.value_or(0), move.tilt.value_or(0), move.lease);
}

json TourStatusJson(const TourStatus& tour) {
    return {{"name", tour.name}, {"state", TourStateName(tour.state)}, {"step", tour.step}, {"round", tour.round}};
}

std::string ParseGroup(const json& body, const std::function<Motion*(const std::string&)>& find,
                       std::initializer_list<const char*> extra, std::vector<GroupTarget>& targets, Pace& pace,
                       bool& unknownHead) {
    unknownHead = false;
    if (!body.is_object()) return "a group move is a JSON object";
    for (const auto& item : body.items()) {
        const std::string& key = item.key();
        const bool known = key == "moves" || key == "speed" || key == "duration" ||
                           std::any_of(extra.begin(), extra.end(), [&](const char* k) { return key == k; });
        if (!known) return "unknown argument \"" + key + "\"";
    }
    if (auto why = PaceArgument(body, pace); !why.empty()) return why;
    if (!body.contains("moves") || !body["moves"].is_array() || body["moves"].empty())
        return "argument \"moves\" must be a list of {\"head\", \"pan\"/\"tilt\" or \"preset\"}";
    if (body["moves"].size() > kMaxGroup) return "at most " + std::to_string(kMaxGroup) + " moves at once";
    targets.clear();
    for (const json& one : body["moves"]) {
        if (!one.is_object()) return "each move must be an object";
        if (auto why = OnlyKeys(one, {"head", "pan", "tilt", "preset"}); !why.empty()) return why;
        if (!one.contains("head") || !one["head"].is_string()) return "each move names its \"head\"";
        GroupTarget t;
        t.head = find(one["head"].get<std::string>());
        if (t.head == nullptr) {
            unknownHead = true;
            return "no head named \"" + JsonText(one["head"]) + "\"";
        }
        for (const GroupTarget& other : targets)
            if (other.head == t.head) return "head \"" + t.head->name() + "\" is named twice";
        if (one.contains("preset")) {
            if (!one["preset"].is_number_integer() || one["preset"].get<int64_t>() < 1 || one["preset"].get<int64_t>() > kPresets)
                return "argument \"preset\" must be 1 to 16";
            if (one.contains("pan") || one.contains("tilt")) return "give a preset or a position, not both";
            t.preset = one["preset"].get<int>();
        } else {
            if (auto why = NumberArgument(one, "pan", -36000, 36000, t.pan); !why.empty()) return why;
            if (auto why = NumberArgument(one, "tilt", -36000, 36000, t.tilt); !why.empty()) return why;
            if (!t.pan && !t.tilt) return "each move gives a preset, \"pan\", \"tilt\" or both";
        }
        targets.push_back(t);
    }
    return "";
}

json GroupJson(const std::vector<GroupTarget>& targets, const GroupResult& g) {
    json results = json::array();
    for (size_t i = 0; i < g.results.size() && i < targets.size(); ++i) {
        json one = MoveJson(g.results[i]);
        one["head"] = targets[i].head->name();
        one["status"] = StatusName(g.results[i].status);
        one["move"] = g.results[i].move;
        results.push_back(one);
    }
    return {{"seconds", g.seconds}, {"moves", results}, {"error", g.message}};
}

json PositionJson(Motion& m) {
    const Snapshot s = m.State();
    const Units& u = m.units();
    const Range pl = u.LimitDegrees(Axis::Pan), tl = u.LimitDegrees(Axis::Tilt);
    const Range pm = u.MechanicalDegrees(Axis::Pan), tm = u.MechanicalDegrees(Axis::Tilt);
    json j{{"head", m.name()},
           {"link", s.linkUp},
           {"known", s.known},
           {"pan", s.pan},
           {"tilt", s.tilt},
           {"steps", {{"pan", s.panSteps}, {"tilt", s.tiltSteps}}},
           {"moving", s.moving},
           {"move", {{"kind", MoveName(s.move)}, {"id", s.generation}, {"preset", s.preset}}},
           {"limits", {{"pan", Pair(pl.min, pl.max)}, {"tilt", Pair(tl.min, tl.max)}}},
           {"range", {{"pan", Pair(pm.min, pm.max)}, {"tilt", Pair(tm.min, tm.max)}}},
           {"tour", TourStatusJson(m.CurrentTour())}};
    if (s.flagsKnown) j["flags"] = {s.flags[0], s.flags[1], s.flags[2], s.flags[3]};
    if (const auto pose = m.Pose()) {
        const auto& o = pose->orientation;
        json g{{"location", {{"lat", pose->place.lat}, {"lon", pose->place.lon}, {"height", pose->place.height}}},
               {"orientation", {{"yaw", o.yaw}, {"pitch", o.pitch}, {"roll", o.roll}}},
               {"calibrated", pose->calibrated}};
        if (pose->calibrated) g["residual"] = pose->residual;
        if (const auto looking = m.LookingAt()) {
            g["looking"] = {{"azimuth", looking->look.azimuth}, {"elevation", looking->look.elevation}};
            if (looking->ground)
                g["ground"] = {{"lat", looking->ground->lat}, {"lon", looking->ground->lon}, {"height", looking->ground->height}};
            else if (pose->groundHeight)
                g["ground"] = nullptr;  // above the horizon, or too far
        }
        j["geo"] = g;
    }
    if (const motion::Follow::Status f = m.follow().State(); !f.target.empty())
        j["follow"] = {{"target", f.target}, {"following", f.following}, {"problem", f.problem.empty() ? json(nullptr) : json(f.problem)}};
    return j;
}

json FollowJson(motion::Motion& m) {
    const motion::Follow::Status f = m.follow().State();
    json j{{"target", f.target.empty() ? json(nullptr) : json(f.target)},
           {"following", f.following},
           {"problem", f.problem.empty() ? json(nullptr) : json(f.problem)},
           {"fixes", f.fixes},
           {"moves", f.moves},
           {"last", nullptr},
           {"rate", f.settings.rate},
           {"min_step", f.settings.minStep},
           {"lease", std::chrono::duration<double>(f.settings.lease).count()}};
    if (f.last && f.lastAt)
        j["last"] = {{"id", f.last->id},
                     {"lat", f.last->place.lat},
                     {"lon", f.last->place.lon},
                     {"height", f.last->place.height},
                     {"age", std::chrono::duration<double>(motion::Follow::Clock::now() - *f.lastAt).count()}};
    return j;
}

json MoveJson(const Result& r) {
    return {{"pan", r.pan}, {"tilt", r.tilt}, {"clamped", {{"pan", r.panClamped}, {"tilt", r.tiltClamped}}},
            {"seconds", r.seconds}};
}

json ResultJson(const Result& r, json extra) {
    if (!r.ok()) {
        json body{{"error", r.message.empty() ? StatusName(r.status) : r.message}, {"status", StatusName(r.status)}};
        if (r.status == Status::HeadFailed) {
            body["kind"] = r.outcome.kind;
            body["code"] = r.outcome.code;
        }
        return body;
    }
    extra["move"] = r.move;
    return extra;
}

json PresetsJson(Motion& m) {
    json list = json::array();
    const auto all = m.presets().All();
    for (int p = 1; p <= kPresets; ++p) {
        json one{{"preset", p}, {"name", all[p].name}};
        if (all[p].pan && all[p].tilt) {
            one["pan"] = m.units().Degrees(Axis::Pan, *all[p].pan);
            one["tilt"] = m.units().Degrees(Axis::Tilt, *all[p].tilt);
        }
        list.push_back(one);
    }
    return list;
}

}  // namespace ptzd
