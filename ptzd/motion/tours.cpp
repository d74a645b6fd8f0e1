#include "motion/tours.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "motion/motion.h"
#include "infra/state_file.h"
#include "infra/utf8.h"

namespace ptzd::motion {

namespace {

// A step that has not arrived after this long ends its tour.
constexpr auto kStepTimeout = std::chrono::minutes(10);

}  // namespace

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

// ---- running tours (the motion service's part) -------------------------------------------

Result Motion::PutTour(const Tour& tour) {
    if (const std::string why = CheckTour(tour, units_); !why.empty()) return Refused(Status::BadArgument, why);
    if (const std::string why = tours_.Put(tour); !why.empty())
        return Refused(why.find("at most") != std::string::npos ? Status::BadArgument : Status::StateFailed, why);
    bool running = false;
    {
        std::lock_guard lock(stateMutex_);
        running = tour_.state != TourState::Idle && tour_.tour.name == tour.name;
    }
    if (running) EndTour("modified");
    return {};
}

Result Motion::RemoveTour(const std::string& name) {
    std::string why;
    if (!tours_.Remove(name, why)) return Refused(Status::NotFound, "no tour \"" + name + "\"");
    if (!why.empty()) return Refused(Status::StateFailed, why);
    bool running = false;
    {
        std::lock_guard lock(stateMutex_);
        running = tour_.state != TourState::Idle && tour_.tour.name == name;
    }
    if (running) EndTour("removed");
    return {};
}

Result Motion::StartTour(const std::string& name) {
    const std::optional<Tour> tour = tours_.Get(name);
    if (!tour) return Refused(Status::NotFound, "no tour \"" + name + "\"");
    if (const std::string why = CheckTour(*tour, units_); !why.empty())
        return Refused(Status::BadArgument, "tour \"" + name + "\" cannot run: " + why);
    {
        std::lock_guard lock(stateMutex_);
        if (stopping_) return Refused(Status::LinkDown, "the gateway stops");
        if (!started_) return Refused(Status::LinkDown, "the motion service has not started");
        CancelTour("replaced");
        tour_ = TourRun{.id = ++tourRuns_, .tour = *tour, .state = TourState::Running, .step = 0, .round = 0,
                        .dwelling = false, .dwellLeft = {}, .move = 0};
    }
    changed_.notify_all();
    return {};
}

Result Motion::StopTour() {
    {
        std::lock_guard lock(stateMutex_);
        if (tour_.state == TourState::Idle) return Refused(Status::NotFound, "no tour is running");
    }
    EndTour("stopped");
    return {};
}

Result Motion::PauseTour() {
    uint64_t move = 0;
    {
        std::lock_guard lock(stateMutex_);
        if (tour_.state != TourState::Running) return Refused(Status::NotFound, "no tour is running");
        tour_.state = TourState::Paused;
        if (active_.tour && !active_.finished) move = active_.generation;
    }
    changed_.notify_all();
    if (move != 0) StopFor(move, "tour paused");
    return {};
}

Result Motion::ResumeTour() {
    {
        std::lock_guard lock(stateMutex_);
        if (tour_.state != TourState::Paused) return Refused(Status::NotFound, "no tour is paused");
        tour_.state = TourState::Running;
    }
    changed_.notify_all();
    return {};
}

TourStatus Motion::CurrentTour() const {
    std::lock_guard lock(stateMutex_);
    if (tour_.state == motion::TourState::Idle) return {};
    return {tour_.tour.name, tour_.state, static_cast<int>(tour_.step), tour_.round};
}

void Motion::CancelTour(const std::string& reason) {
    if (tour_.state == motion::TourState::Idle) return;
    Event e = MakeEvent(EventType::TourStopped);
    e.tour = tour_.tour.name;
    e.step = static_cast<int>(tour_.step);
    e.round = tour_.round;
    e.reason = reason;
    Publish(e);
    tour_ = TourRun{};
    changed_.notify_all();
}

void Motion::EndTour(const std::string& reason) {
    {
        std::lock_guard lock(stateMutex_);
        if (!tour_.sending && !(active_.tour && !active_.finished)) {
            CancelTour(reason);
            return;
        }
    }
    // Its step is moving or being sent: a stop of everything, which drops
    // the step if it is still unsent and otherwise follows it to the head.
    StopNow("tour " + reason, reason);
}

Motion::Request Motion::StepRequest(const TourStep& step, uint64_t run) const {
    Request r(step.preset != 0 ? Op::Preset : Op::Absolute);
    if (step.preset == 0) {
        r.pan = step.pan;
        r.tilt = step.tilt;
    }
    r.pace.speed = step.speed;
    r.preset = step.preset;
    r.tourRun = run;
    return r;
}

void Motion::TourLoop() {
    std::unique_lock lock(stateMutex_);
    while (!stopping_) {
        if (tour_.state != motion::TourState::Running) {
            changed_.wait(lock);
            continue;
        }
        const uint64_t run = tour_.id;
        auto interrupted = [&] { return stopping_ || tour_.id != run || tour_.state != motion::TourState::Running; };
        if (tour_.step >= tour_.tour.steps.size()) {  // never stored so; never run so either
            CancelTour("it has no such step");
            continue;
        }
        if (!tour_.dwelling) {
            // The step's move, then its arrival.
            const TourStep step = tour_.tour.steps[tour_.step];
            Event e = MakeEvent(EventType::TourStep);
            e.tour = tour_.tour.name;
            e.step = static_cast<int>(tour_.step);
            e.round = tour_.round;
            Publish(e);
            tour_.sending = true;
            lock.unlock();
            const Result r = Issue(StepRequest(step, run));
            lock.lock();
            if (stopping_ || tour_.id != run) continue;
            tour_.sending = false;
            if (!r.ok()) {
                if (r.status != Status::Superseded)  // paused meanwhile: the step is made again on resume
                    CancelTour("step " + std::to_string(tour_.step + 1) + " failed: " + r.message);
                continue;
            }
            tour_.move = r.move;
            const bool done = changed_.wait_until(lock, Clock::now() + kStepTimeout, [&] {
                return interrupted() || active_.generation != r.move || active_.finished;
            });
            if (stopping_ || tour_.id != run) continue;
            if (tour_.state == motion::TourState::Paused) {
                // Paused on the way: the step is made again on resume.
                lock.unlock();
                StopFor(r.move, "tour paused");
                lock.lock();
                continue;
            }
            if (!done || active_.generation != r.move) {
                CancelTour("step " + std::to_string(tour_.step + 1) + " did not arrive");
                continue;
            }
            tour_.dwelling = true;
            tour_.dwellLeft = step.dwell;
        }
        const auto end = Clock::now() + tour_.dwellLeft;
        changed_.wait_until(lock, end, interrupted);
        if (stopping_ || tour_.id != run) continue;
        if (tour_.state == motion::TourState::Paused) {
            tour_.dwellLeft = std::max(std::chrono::milliseconds(0),
                                       std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
            continue;
        }
        tour_.dwelling = false;
        if (++tour_.step < tour_.tour.steps.size()) continue;
        if (!tour_.tour.loop) {
            --tour_.step;
            CancelTour("finished");
            continue;
        }
        tour_.step = 0;
        ++tour_.round;
    }
}

}  // namespace ptzd::motion
