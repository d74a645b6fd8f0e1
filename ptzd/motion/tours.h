// Tours: a named list of steps (a preset, or a position in degrees; a
// speed; a dwell time), run once or in a loop by a head's motion service.
// The definitions are kept in a JSON state file and survive a restart (a
// tour is never running after one).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "motion/units.h"

namespace ptzd::motion {

constexpr size_t kMaxTours = 32;
constexpr size_t kMaxTourSteps = 64;
constexpr size_t kMaxTourName = 64;  // bytes of UTF-8
constexpr std::chrono::milliseconds kMaxDwell{3600000};

struct TourStep {
    int preset = 0;                      // 1-16: go to this preset; 0: to pan/tilt
    double pan = 0, tilt = 0;            // degrees
    std::optional<double> speed;         // share of the speed range [0, 1]; absent: the default speed
    std::chrono::milliseconds dwell{0};  // how long to stay before the next step
};

struct Tour {
    std::string name;
    std::vector<TourStep> steps;
    bool loop = false;
};

// What is wrong with a tour ("" when it may be stored); positions must lie
// inside the head's soft limits.
std::string CheckTour(const Tour& tour, const Units& units);

// {"name": "...", "loop": false, "steps": [{"preset": 3, "speed": 0.5,
// "dwell": 2.0}, {"pan": 10.0, "tilt": -5.0, "dwell": 0}]} (dwell in
// seconds). FromJson checks the shape only; CheckTour the values.
nlohmann::json TourJson(const Tour& tour);
std::string TourFromJson(const nlohmann::json& json, Tour& tour);

class TourStore {
public:
    // `file` "" keeps the tours in memory only; a tour read from it is taken
    // only when `check` finds nothing wrong with it.
    explicit TourStore(std::string file, const std::function<std::string(const Tour&)>& check = {});
    std::vector<Tour> All();
    std::optional<Tour> Get(const std::string& name);
    // Adds or replaces; "" or why it could not be kept (too many tours,
    // the state file not written: then nothing changes).
    std::string Put(const Tour& tour);
    // False when there is no such tour; `error` why the file was not written.
    bool Remove(const std::string& name, std::string& error);

private:
    std::string Save(const std::vector<Tour>& tours);
    const Tour* Find(const std::string& name) const;
    std::string file_;
    std::mutex mutex_;
    std::vector<Tour> tours_;
};

enum class TourState { Idle, Running, Paused };
const char* TourStateName(TourState state);  // "idle", "running", "paused"

struct TourStatus {
    std::string name;  // "" when idle
    TourState state = TourState::Idle;
    int step = -1;     // the step in hand (from 0)
    int round = 0;     // completed rounds of a loop
};

}  // namespace ptzd::motion
