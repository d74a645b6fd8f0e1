#include "motion/units.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ptzd::motion {

const char* AxisName(Axis axis) { return axis == Axis::Pan ? "pan" : "tilt"; }

Units::Units(const MotionConfig& config) : config_(config) {
    panLimits_ = LimitSteps(Axis::Pan);
    tiltLimits_ = LimitSteps(Axis::Tilt);
}

double Units::Degrees(Axis axis, int32_t steps) const {
    const AxisConfig& a = Of(axis);
    return a.degreesAtZero + a.degreesPerStep * steps;
}

int32_t Units::Steps(Axis axis, double degrees) const {
    const AxisConfig& a = Of(axis);
    const double steps = std::round((degrees - a.degreesAtZero) / a.degreesPerStep);
    constexpr double lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
    if (!(steps >= lo)) return std::numeric_limits<int32_t>::min();  // NaN too
    return steps > hi ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(steps);
}

double Units::Generic(Axis axis, int32_t steps) const {
    const Range r = MechanicalDegrees(axis);
    return std::clamp(-1.0 + 2.0 * (Degrees(axis, steps) - r.min) / (r.max - r.min), -1.0, 1.0);
}

int32_t Units::StepsFromGeneric(Axis axis, double generic) const {
    const Range r = MechanicalDegrees(axis);
    return Steps(axis, r.min + (std::clamp(generic, -1.0, 1.0) + 1.0) / 2.0 * (r.max - r.min));
}

StepRange Units::Mechanical(Axis axis) const { return {Of(axis).min, Of(axis).max}; }

Range Units::MechanicalDegrees(Axis axis) const {
    const double a = Degrees(axis, Of(axis).min), b = Degrees(axis, Of(axis).max);
    return {std::min(a, b), std::max(a, b)};
}

Range Units::LimitDegrees(Axis axis) const {
    const double a = Degrees(axis, Limits(axis).min), b = Degrees(axis, Limits(axis).max);
    return {std::min(a, b), std::max(a, b)};
}

StepRange Units::LimitSteps(Axis axis) const {
    const AxisConfig& a = Of(axis);
    StepRange r{a.min, a.max};
    if (!a.limitMin && !a.limitMax) return r;
    const Range mechanical = MechanicalDegrees(axis);
    const double lowDeg = a.limitMin.value_or(mechanical.min), highDeg = a.limitMax.value_or(mechanical.max);
    // Both ends in steps, rounded inwards: every step inside is inside the limits.
    double s1 = (lowDeg - a.degreesAtZero) / a.degreesPerStep, s2 = (highDeg - a.degreesAtZero) / a.degreesPerStep;
    if (s1 > s2) std::swap(s1, s2);
    constexpr double kSlack = 1e-9;  // a limit that is a whole step stays that step
    const double low = std::ceil(s1 - kSlack), high = std::floor(s2 + kSlack);
    r.min = static_cast<int32_t>(std::clamp<double>(low, a.min, a.max));
    r.max = static_cast<int32_t>(std::clamp<double>(high, a.min, a.max));
    if (r.min > r.max) r.max = r.min;
    return r;
}

int32_t Units::Clamp(Axis axis, int64_t steps) const {
    const StepRange r = Limits(axis);
    return static_cast<int32_t>(std::clamp<int64_t>(steps, r.min, r.max));
}

int32_t Units::Speed(double share) const {
    const double s = std::clamp(std::isfinite(share) ? share : 1.0, 0.0, 1.0);
    return static_cast<int32_t>(std::lround(config_.speedMin + s * (config_.speedMax - config_.speedMin)));
}

double Units::SpeedShare(int32_t speed) const {
    if (config_.speedMax == config_.speedMin) return 1.0;
    return std::clamp(static_cast<double>(speed - config_.speedMin) / (config_.speedMax - config_.speedMin), 0.0, 1.0);
}

int32_t Units::SignedSpeed(double velocity) const {
    if (velocity == 0 || !std::isfinite(velocity)) return 0;
    const int32_t speed = Speed(std::fabs(velocity));
    return velocity < 0 ? -speed : speed;
}

double Units::StepsPerSecond(int32_t speed) const { return config_.stepsPerSecondPerSpeed * std::max(1, speed); }

double Units::DegreesPerSecond(Axis axis, int32_t speed) const {
    return StepsPerSecond(speed) * std::fabs(Of(axis).degreesPerStep);
}

double Units::TravelSeconds(int64_t distance, int32_t speed) const {
    return static_cast<double>(distance < 0 ? -distance : distance) / StepsPerSecond(speed);
}

Units::Speeds Units::SpeedsFor(int64_t panDistance, int64_t tiltDistance, double seconds) const {
    const int32_t lo = std::max(1, config_.speedMin), hi = std::max(lo, config_.speedMax);
    const int64_t p = panDistance < 0 ? -panDistance : panDistance, t = tiltDistance < 0 ? -tiltDistance : tiltDistance;
    const double want = std::max(seconds, 1e-3);
    auto ideal = [&](int64_t d) {
        return std::clamp<int32_t>(static_cast<int32_t>(std::lround(d / (want * config_.stepsPerSecondPerSpeed))), lo, hi);
    };
    Speeds best;
    if (p == 0 || t == 0) {
        best.pan = best.tilt = ideal(std::max(p, t));
        best.seconds = TravelSeconds(std::max(p, t), best.pan);
        return best;
    }
    // For each speed of the longer way, the nearest speeds of the shorter.
    const bool panLeads = p >= t;
    const int64_t lead = panLeads ? p : t, other = panLeads ? t : p;
    double bestCost = std::numeric_limits<double>::infinity();
    for (int32_t s = lo; s <= hi; ++s) {
        const double exact = static_cast<double>(s) * other / lead;
        for (double candidate : {std::floor(exact), std::ceil(exact)}) {
            const auto o = static_cast<int32_t>(std::clamp<double>(candidate, lo, hi));
            const double a = TravelSeconds(lead, s), b = TravelSeconds(other, o);
            const double took = std::max(a, b), spread = std::fabs(a - b);
            // Arriving together counts twice as much as arriving on time.
            const double cost = std::fabs(took - want) / want + 2 * spread / want;
            if (cost < bestCost) {
                bestCost = cost;
                best = {panLeads ? s : o, panLeads ? o : s, took, spread};
            }
        }
    }
    return best;
}

}  // namespace ptzd::motion
