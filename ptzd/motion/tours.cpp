#include "motion/tours.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "infra/state_file.h"
#include "motion/presets.h"
#include "infra/utf8.h"

namespace ptzd::motion {

const char* TourStateName(TourState state) {
    switch (state) {
        case TourState::Idle: return "idle";
        case TourState::Running: return "running";
        case TourState::Paused: return "paused";
    }
    return "";
}

std::string CheckTour(const Tour& tour, const Units& units) {
    if (tour.name.empty() || tour.name.size() > kMaxTourName) return "a tour name has 1 to 64 bytes";
    if (!ValidUtf8(tour.name)) return "a tour name must be UTF-8";
    for (unsigned char c : tour.name)
        if (c < 0x20 || c == 0x7F || c == '/') return "a tour name must not hold control characters or /";
    if (tour.steps.empty() || tour.steps.size() > kMaxTourSteps) return "a tour has 1 to 64 steps";
    for (size_t i = 0; i < tour.steps.size(); ++i) {
        const TourStep& s = tour.steps[i];
        const std::string where = "step " + std::to_string(i + 1) + ": ";
        if (s.preset < 0 || s.preset > kPresets) return where + "presets are 1 to 16";
        if (s.preset == 0) {
            for (auto [axis, value] : {std::pair{Axis::Pan, s.pan}, std::pair{Axis::Tilt, s.tilt}}) {
                const Range r = units.LimitDegrees(axis);
                if (!std::isfinite(value) || value < r.min - 1e-9 || value > r.max + 1e-9)
                    return where + AxisName(axis) + " must lie within the limits (" + std::to_string(r.min) + " to " +
                           std::to_string(r.max) + " degrees)";
            }
        }
        if (s.speed && !(*s.speed >= 0 && *s.speed <= 1)) return where + "the speed must be between 0 and 1";
        if (s.dwell.count() < 0 || s.dwell > kMaxDwell) return where + "the dwell must be 0 to 3600 s";
    }
    return "";
}

nlohmann::json TourJson(const Tour& tour) {
    nlohmann::json steps = nlohmann::json::array();
    for (const TourStep& s : tour.steps) {
        nlohmann::json j = nlohmann::json::object();
        if (s.preset != 0) j["preset"] = s.preset;
        else j["pan"] = s.pan, j["tilt"] = s.tilt;
        if (s.speed) j["speed"] = *s.speed;
        j["dwell"] = s.dwell.count() / 1000.0;
        steps.push_back(j);
    }
    return {{"name", tour.name}, {"loop", tour.loop}, {"steps", steps}};
}

std::string TourFromJson(const nlohmann::json& j, Tour& tour) {
    if (!j.is_object()) return "a tour is a JSON object";
    tour = {};
    for (const auto& [key, value] : j.items()) {
        if (key == "name") {
            if (!value.is_string()) return "name must be a string";
            tour.name = value.get<std::string>();
        } else if (key == "loop") {
            if (!value.is_boolean()) return "loop must be true or false";
            tour.loop = value.get<bool>();
        } else if (key == "steps") {
            if (!value.is_array()) return "steps must be an array";
            if (value.size() > kMaxTourSteps) return "a tour has 1 to 64 steps";
            for (const auto& s : value) {
                if (!s.is_object()) return "each step is a JSON object";
                TourStep step;
                bool position = false;
                for (const auto& [k, v] : s.items()) {
                    if (k == "preset") {
                        if (!v.is_number_integer()) return "preset must be a whole number";
                        const int64_t n = v.get<int64_t>();
                        step.preset = n < 1 || n > kPresets ? -1 : static_cast<int>(n);
                    } else if (k == "pan" || k == "tilt" || k == "speed" || k == "dwell") {
                        if (!v.is_number()) return k + " must be a number";
                        const double d = v.get<double>();
                        if (k == "pan") step.pan = d, position = true;
                        else if (k == "tilt") step.tilt = d, position = true;
                        else if (k == "speed") step.speed = d;
                        else if (!(d >= 0 && d <= kMaxDwell.count() / 1000.0)) return "the dwell must be 0 to 3600 s";
                        else step.dwell = std::chrono::milliseconds(std::llround(d * 1000));
                    } else {
                        return "unknown step key \"" + k + "\"";
                    }
                }
                if (position == (step.preset != 0)) return "each step names a preset or a position (pan and tilt)";
                tour.steps.push_back(step);
            }
        } else {
            return "unknown tour key \"" + key + "\"";
        }
    }
    return "";
}

// ---- the store ------------------------------------------------------------------------

TourStore::TourStore(std::string file, const std::function<std::string(const Tour&)>& check) : file_(std::move(file)) {
    std::string text;
    if (file_.empty() || LoadStateFile(file_, text) != StateRead::Read) return;
    const auto data = nlohmann::json::parse(text, nullptr, false);
    if (!data.is_object() || !data.contains("tours") || !data["tours"].is_array()) {
        SetAsideStateFile(file_, data.is_discarded() ? "it is not JSON" : "it holds no \"tours\" list");
        return;
    }
    // A tour that cannot run (no steps, a value out of range) is refused
    // here, not when it is started; the file is then set aside whole and
    // the rest kept.
    std::string refused;
    for (const auto& j : data["tours"]) {
        Tour tour;
        std::string why = TourFromJson(j, tour);
        if (why.empty() && check) why = check(tour);
        if (why.empty() && Find(tour.name)) why = "named twice";
        if (why.empty() && tours_.size() >= kMaxTours) why = "more than " + std::to_string(kMaxTours) + " tours";
        if (why.empty()) tours_.push_back(tour);
        else refused += " \"" + (tour.name.empty() ? std::string("(no name)") : tour.name) + "\" (" + why + ");";
    }
    if (!refused.empty()) {
        refused.pop_back();
        SetAsideStateFile(file_, "tours that cannot be taken:" + refused);
    }
}

const Tour* TourStore::Find(const std::string& name) const {
    for (const Tour& t : tours_)
        if (t.name == name) return &t;
    return nullptr;
}

std::vector<Tour> TourStore::All() {
    std::lock_guard lock(mutex_);
    return tours_;
}

std::optional<Tour> TourStore::Get(const std::string& name) {
    std::lock_guard lock(mutex_);
    for (const Tour& t : tours_)
        if (t.name == name) return t;
    return std::nullopt;
}

std::string TourStore::Put(const Tour& tour) {
    std::lock_guard lock(mutex_);
    std::vector<Tour> next = tours_;
    auto it = std::find_if(next.begin(), next.end(), [&](const Tour& t) { return t.name == tour.name; });
    if (it != next.end()) *it = tour;
    else if (next.size() >= kMaxTours) return "a head keeps at most " + std::to_string(kMaxTours) + " tours";
    else next.push_back(tour);
    if (std::string why = Save(next); !why.empty()) return why;
    tours_ = std::move(next);
    return "";
}

bool TourStore::Remove(const std::string& name, std::string& error) {
    std::lock_guard lock(mutex_);
    std::vector<Tour> next = tours_;
    if (std::erase_if(next, [&](const Tour& t) { return t.name == name; }) == 0) return false;
    error = Save(next);
    if (error.empty()) tours_ = std::move(next);
    return true;
}

std::string TourStore::Save(const std::vector<Tour>& tours) {
    if (file_.empty()) return "";
    nlohmann::json list = nlohmann::json::array();
    for (const Tour& t : tours) list.push_back(TourJson(t));
    return WriteStateFile(file_, nlohmann::json{{"tours", list}}.dump(2) + "\n");
}

}  // namespace ptzd::motion
