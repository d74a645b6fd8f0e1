// Moves, positions, presets and results as JSON: the one form every JSON
// transport reads and answers them in (the HTTP API and its live stream;
// MQTT next). A request is checked whole here before anything moves; what
// a check refuses comes back as a sentence for the client.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "motion/group.h"
#include "motion/motion.h"

namespace ptzd {

constexpr double kMaxMoveSeconds = 600;  // a duration's or a time-out's longest, in seconds

// The text of `value`, invalid UTF-8 replaced.
std::string JsonText(const nlohmann::json& value);

// "" when the object has only `keys`, else why not.
std::string OnlyKeys(const nlohmann::json& body, std::initializer_list<const char*> keys);
// An optional finite number in [min, max] under `key`.
std::string NumberArgument(const nlohmann::json& body, const char* key, double min, double max, std::optional<double>& out);
// "speed" (0-1) or "duration" (seconds), neither or one.
std::string PaceArgument(const nlohmann::json& body, motion::Pace& pace);
// An optional time-out in seconds (above 0, at most kMaxMoveSeconds) under `key`.
std::string SecondsArgument(const nlohmann::json& body, const char* key, std::optional<std::chrono::milliseconds>& out);
// "client" (1-64 of [A-Za-z0-9_-]) and "seq" (a whole number), both or neither.
std::string ClientOrderArgument(const nlohmann::json& body, std::string& client, uint64_t& seq);

// One move: {"kind": "geo", "lat", "lon", "height", "speed" or "duration"}
// (the head turns to look at that place), or {"kind": "absolute"|"relative", "pan", "tilt" (degrees),
// "speed" or "duration"} or {"kind": "continuous", "pan", "tilt"
// (velocities in [-1, 1]), "timeout" (the lease, seconds)}; "client" and
// "seq" order it against the same client's stops.
struct MoveRequest {
    enum class Kind { Absolute, Relative, Continuous, Geo } kind = Kind::Absolute;
    geo::Place place;  // Geo: "lat", "lon", "height" (metres above the ellipsoid)
    std::optional<double> pan, tilt;
    motion::Pace pace;
    std::optional<std::chrono::milliseconds> lease;
    std::string client;
    uint64_t seq = 0;
};
std::string ParseMove(const nlohmann::json& body, MoveRequest& move);
// Hands it to the motion layer; the result's JSON is MoveJson's.
motion::Result SendMove(motion::Motion& m, const MoveRequest& move);

// A group move: {"moves": [{"head", "pan"/"tilt" or "preset"}, ...],
// "speed" or "duration"}; `find` names the heads; `extra` more keys the
// caller takes itself. `unknownHead` says a refusal was for a head not found.
std::string ParseGroup(const nlohmann::json& body, const std::function<motion::Motion*(const std::string&)>& find,
                       std::initializer_list<const char*> extra, std::vector<motion::GroupTarget>& targets,
                       motion::Pace& pace, bool& unknownHead);
// Its answer: {"seconds", "moves": [{"head", "status", "move", "pan", ...}], "error"}.
nlohmann::json GroupJson(const std::vector<motion::GroupTarget>& targets, const motion::GroupResult& g);

// A place {"lat", "lon", "height"}: "" or why it is not one.
std::string PlaceArgument(const nlohmann::json& body, geo::Place& place);
// Where a head is and what it does: position, limits, range, the move in
// hand, the tour, the status flags; with a location, "geo": the place, the
// orientation, where it looks and the ground point it looks at.
nlohmann::json PositionJson(motion::Motion& m);
// The follower's state: {"target", "following", "problem", "fixes",
// "moves", "last": {id, lat, lon, height, age} or null, "rate", "min_step", "lease"}.
nlohmann::json FollowJson(motion::Motion& m);
// A move's target and time: {"pan", "tilt", "clamped": {...}, "seconds"}.
nlohmann::json MoveJson(const motion::Result& r);
// A result's answer: `extra` with "move" when it went, else {"error",
// "status"} (and the head's "kind" and "code" when the head refused it).
nlohmann::json ResultJson(const motion::Result& r, nlohmann::json extra = nlohmann::json::object());
// Every preset slot: {"preset", "name", and "pan", "tilt" where stored}.
nlohmann::json PresetsJson(motion::Motion& m);
// The running tour: {"name", "state", "step", "round"}.
nlohmann::json TourStatusJson(const motion::TourStatus& status);

}  // namespace ptzd
