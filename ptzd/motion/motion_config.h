// What the motion layer knows of one head: how its position steps map onto
// degrees, its mechanical range, its speeds, the soft limits every move is
// kept inside, and how often its state is read. The defaults are the
// simulated head's (1 step = 0.01 degree, 50 steps a second per speed unit).
#pragma once

#include "geo/geo.h"
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ptzd {

// How a head's generic moves map onto its commands. The defaults are the
// simulated head's model (positions in 1/100 degree).
struct Mapping {
    int32_t panMotor = 0;
    int32_t tiltMotor = 4;
    int32_t panMin = -17000, panMax = 17000;
    int32_t tiltMin = -9000, tiltMax = 3000;
    int32_t speedMin = 1, speedMax = 255;
    int32_t moveParam = 1;   // the param byte of PTZ_SetPTPos
    int32_t presetFlag = 0;  // the flag of PTZ_SetPresetPos / PTZ_SetUserHP
};

}  // namespace ptzd

namespace ptzd::motion {

struct AxisConfig {
    // degrees = degreesAtZero + degreesPerStep * steps (a negative factor
    // turns the axis round).
    double degreesPerStep = 0.01;
    double degreesAtZero = 0;
    int32_t min = 0, max = 0;  // the mechanical range, in steps
    // Soft limits in degrees, inside the mechanical range; absent: the
    // mechanical range itself.
    std::optional<double> limitMin, limitMax;
};

struct MotionConfig {
    AxisConfig pan{0.01, 0, -17000, 17000, {}, {}};
    AxisConfig tilt{0.01, 0, -9000, 3000, {}, {}};
    int32_t panMotor = 0, tiltMotor = 4;
    int32_t speedMin = 1, speedMax = 255;
    int32_t moveParam = 1;   // the param byte of SetPTPos
    int32_t presetFlag = 0;  // the flag of SetPresetPos / SetUserHP
    // Steps a second an axis travels per unit of the head's speed.
    double stepsPerSecondPerSpeed = 50;
    // The speed of a move that names none, as a share of the speed range.
    double defaultSpeed = 1.0;
    // How often the poller reads the head while it moves, and while it is still.
    double pollMovingHz = 20, pollIdleHz = 1;
    // The dead-man time-out of a continuous move whose caller names none.
    std::chrono::milliseconds continuousTimeout{10000};
};

// Where a head stands on the Earth.
struct GeoPose {
    geo::Place place;
    geo::Orientation orientation;
    std::optional<double> groundHeight;  // metres above the ellipsoid, for the ground point looked at
    bool calibrated = false;             // the orientation from landmarks
    double residual = 0;                 // the calibration's, degrees
};

// Following a moving target (follow.h).
struct FollowSettings {
    double rate = 2;        // moves a second, at most
    double minStep = 0.05;  // degrees, on either axis
    std::chrono::milliseconds lease{5000};
    std::string target;     // followed from the start ("": none)
};

// The longest dead-man time-out a caller may ask for.
constexpr std::chrono::milliseconds kMaxLease{600000};

// What is wrong with a configuration, one text per problem ("pan_limits ...").
std::vector<std::string> CheckMotionConfig(const MotionConfig& config);

}  // namespace ptzd::motion
