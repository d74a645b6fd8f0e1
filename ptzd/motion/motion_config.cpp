#include <cmath>
#include <cstdio>

#include "motion/motion_config.h"
#include "motion/units.h"

namespace ptzd::motion {

namespace {

std::string Text(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

}  // namespace

std::vector<std::string> CheckMotionConfig(const MotionConfig& c) {
    std::vector<std::string> errors;
    const Units units(c);
    for (Axis axis : {Axis::Pan, Axis::Tilt}) {
        const std::string name = AxisName(axis);
        const AxisConfig& a = axis == Axis::Pan ? c.pan : c.tilt;
        if (!std::isfinite(a.degreesPerStep) || a.degreesPerStep == 0 || std::fabs(a.degreesPerStep) > 360)
            errors.push_back(name + "_degrees_per_step must be a number other than 0, at most 360 either way");
        if (!std::isfinite(a.degreesAtZero)) errors.push_back(name + "_calibration gives no finite offset");
        if (a.min >= a.max) errors.push_back(name + "_min must be below " + name + "_max");
        if (!errors.empty()) continue;
        const Range mechanical = units.MechanicalDegrees(axis);
        const double halfStep = std::fabs(a.degreesPerStep) / 2;
        if (a.limitMin && a.limitMax && *a.limitMin >= *a.limitMax)
            errors.push_back(name + "_limits: the first limit must be below the second");
        for (const auto& limit : {a.limitMin, a.limitMax})
            if (limit && (*limit < mechanical.min - halfStep || *limit > mechanical.max + halfStep))
                errors.push_back(name + "_limits: " + Text(*limit) + " degrees is outside the mechanical range " +
                                 Text(mechanical.min) + " to " + Text(mechanical.max) + " degrees");
    }
    if (c.speedMin > c.speedMax) errors.push_back("speed_min must not exceed speed_max");
    if (!(c.stepsPerSecondPerSpeed > 0) || c.stepsPerSecondPerSpeed > 1e6)
        errors.push_back("steps_per_second_per_speed must be above 0 (and at most 1000000)");
    if (!(c.defaultSpeed >= 0 && c.defaultSpeed <= 1)) errors.push_back("default_speed must be between 0 and 1");
    if (!(c.pollMovingHz >= 0.5 && c.pollMovingHz <= 100)) errors.push_back("poll_moving_hz must be between 0.5 and 100");
    if (!(c.pollIdleHz >= 0.1 && c.pollIdleHz <= c.pollMovingHz))
        errors.push_back("poll_idle_hz must be between 0.1 and poll_moving_hz");
    if (c.continuousTimeout.count() < 100 || c.continuousTimeout > kMaxLease)
        errors.push_back("continuous_timeout must be between 0.1 and " + std::to_string(kMaxLease.count() / 1000) +
                         " seconds");
    return errors;
}

}  // namespace ptzd::motion
