#include "json/events.h"

#include <chrono>
#include <nlohmann/json.hpp>

namespace ptzd {

using motion::EventName;
using motion::EventType;

std::string EventJson(const motion::Event& e) {
    nlohmann::json j{{"seq", e.sequence},
                     {"type", EventName(e.type)},
                     {"head", e.head},
                     {"time", std::chrono::duration_cast<std::chrono::milliseconds>(e.time.time_since_epoch()).count() / 1000.0}};
    switch (e.type) {
        case EventType::MoveStarted:
        case EventType::MoveFinished:
            j["move"] = e.move;
            j["generation"] = e.generation;
            if (!e.reason.empty()) j["reason"] = e.reason;
            if (e.preset != 0) j["preset"] = e.preset;
            if (e.fromPreset != 0) j["from_preset"] = e.fromPreset;
            break;
        case EventType::LimitReached:
            j["axis"] = e.axis;
            j["side"] = e.side;
            break;
        case EventType::PresetReached:
            j["preset"] = e.preset;
            break;
        case EventType::TourStep:
            j["tour"] = e.tour;
            j["step"] = e.step;
            j["round"] = e.round;
            break;
        case EventType::TourStopped:
            j["tour"] = e.tour;
            j["reason"] = e.reason;
            break;
        case EventType::FlagsChanged:
            j["flags"] = e.flags;
            break;
        case EventType::InfraredChanged:
            j["on"] = e.on;
            break;
        case EventType::LinkLost:
        case EventType::LinkRestored:
            break;
    }
    // Where the head is (or was sent), for the events about a position.
    if (e.type == EventType::MoveStarted || e.type == EventType::MoveFinished || e.type == EventType::LimitReached ||
        e.type == EventType::PresetReached) {
        j["pan"] = e.pan;
        j["tilt"] = e.tilt;
    }
    // Names and reasons come from the configuration and from clients: never
    // let a bad byte make the line unreadable.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace ptzd
