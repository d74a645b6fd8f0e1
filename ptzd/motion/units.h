// One head's units: position steps <-> degrees <-> the generic [-1, 1]
// spaces, the soft limits, and the head's speeds (a share of the speed
// range, signed velocities, steps and degrees a second).
#pragma once

#include <cstdint>

#include "motion/motion_config.h"

namespace ptzd::motion {

enum class Axis { Pan, Tilt };
const char* AxisName(Axis axis);  // "pan", "tilt"

struct Range {
    double min = 0, max = 0;  // min <= max
};
struct StepRange {
    int32_t min = 0, max = 0;
};

class Units {
public:
    explicit Units(const MotionConfig& config);

    const MotionConfig& config() const { return config_; }

    double Degrees(Axis axis, int32_t steps) const;
    // The nearest step (saturated to what a position can hold).
    int32_t Steps(Axis axis, double degrees) const;
    // The generic position space spans the mechanical range in degrees: its
    // lowest is -1, its highest 1 (outside it: clamped).
    double Generic(Axis axis, int32_t steps) const;
    int32_t StepsFromGeneric(Axis axis, double generic) const;

    StepRange Mechanical(Axis axis) const;
    Range MechanicalDegrees(Axis axis) const;
    // The soft limits in steps (rounded inwards) and in degrees.
    StepRange Limits(Axis axis) const { return axis == Axis::Pan ? panLimits_ : tiltLimits_; }
    Range LimitDegrees(Axis axis) const;
    // A position kept inside the soft limits.
    int32_t Clamp(Axis axis, int64_t steps) const;

    // A share of the speed range [0, 1] -> the head's speed, and back.
    int32_t Speed(double share) const;
    double SpeedShare(int32_t speed) const;
    // A velocity [-1, 1] -> a signed head speed (0 for 0; the sign is the direction).
    int32_t SignedSpeed(double velocity) const;
    double StepsPerSecond(int32_t speed) const;
    double DegreesPerSecond(Axis axis, int32_t speed) const;
    // Seconds to travel `distance` steps at `speed`.
    double TravelSeconds(int64_t distance, int32_t speed) const;

    // Per-axis speeds for a move of (panDistance, tiltDistance) steps that
    // should take `seconds`, chosen so that both axes arrive together:
    // the pair whose arrivals lie closest together and closest to `seconds`.
    // `seconds` is what the move then takes (the slower axis's time), and
    // `spread` the gap between the two axes' arrivals.
    struct Speeds {
        int32_t pan = 0, tilt = 0;
        double seconds = 0, spread = 0;
    };
    Speeds SpeedsFor(int64_t panDistance, int64_t tiltDistance, double seconds) const;

private:
    const AxisConfig& Of(Axis axis) const { return axis == Axis::Pan ? config_.pan : config_.tilt; }
    StepRange LimitSteps(Axis axis) const;

    MotionConfig config_;
    StepRange panLimits_, tiltLimits_;
};

}  // namespace ptzd::motion
