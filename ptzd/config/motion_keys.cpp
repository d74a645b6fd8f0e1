#include <cmath>

#include "config/motion_keys.h"

namespace ptzd::motion {

namespace {

// A number from an integer or a float node.
bool Number(const toml::node& node, double& out) {
    if (const auto* f = node.as_floating_point()) out = f->get();
    else if (const auto* i = node.as_integer()) out = static_cast<double>(i->get());
    else return false;
    return std::isfinite(out);
}

// [a, b] of two numbers.
bool Pair(const toml::node& node, double& a, double& b) {
    const auto* list = node.as_array();
    return list != nullptr && list->size() == 2 && Number(*list->get(0), a) && Number(*list->get(1), b);
}

}  // namespace

bool ParseMotionKey(const std::string& key, const toml::node& node, MotionConfig& c, std::vector<std::string>& errors) {
    const bool pan = key.rfind("pan_", 0) == 0, tilt = key.rfind("tilt_", 0) == 0;
    AxisConfig& axis = pan ? c.pan : c.tilt;
    const std::string field = pan ? key.substr(4) : tilt ? key.substr(5) : "";
    double a = 0, b = 0;
    if ((pan || tilt) && field == "degrees_per_step") {
        if (!Number(node, a)) errors.push_back(key + " must be a number");
        else axis.degreesPerStep = a;
    } else if ((pan || tilt) && field == "calibration") {
        // Two [steps, degrees] pairs: the line through them.
        const auto* list = node.as_array();
        double s1 = 0, d1 = 0, s2 = 0, d2 = 0;
        if (list == nullptr || list->size() != 2 || !Pair(*list->get(0), s1, d1) || !Pair(*list->get(1), s2, d2) ||
            s1 == s2)
            errors.push_back(key + " must be two [steps, degrees] pairs with different steps, e.g. [[0, 0.0], [9000, 90.0]]");
        else {
            axis.degreesPerStep = (d2 - d1) / (s2 - s1);
            axis.degreesAtZero = d1 - axis.degreesPerStep * s1;
        }
    } else if ((pan || tilt) && field == "limits") {
        if (!Pair(node, a, b)) errors.push_back(key + " must be [lowest, highest] in degrees");
        else {
            axis.limitMin = a;
            axis.limitMax = b;
        }
    } else if (key == "steps_per_second_per_speed" || key == "default_speed" || key == "poll_moving_hz" ||
               key == "poll_idle_hz" || key == "continuous_timeout") {
        if (!Number(node, a)) {
            errors.push_back(key + " must be a number");
        } else if (key == "steps_per_second_per_speed") c.stepsPerSecondPerSpeed = a;
        else if (key == "default_speed") c.defaultSpeed = a;
        else if (key == "poll_moving_hz") c.pollMovingHz = a;
        else if (key == "poll_idle_hz") c.pollIdleHz = a;
        else if (a >= 0 && a <= 1e6) c.continuousTimeout = std::chrono::milliseconds(std::llround(a * 1000));
        else c.continuousTimeout = std::chrono::milliseconds(-1);  // refused by the check
    } else {
        return false;
    }
    return true;
}

void FinishMotionConfig(const Mapping& m, MotionConfig& c, std::vector<std::string>& errors) {
    c.pan.min = m.panMin;
    c.pan.max = m.panMax;
    c.tilt.min = m.tiltMin;
    c.tilt.max = m.tiltMax;
    c.panMotor = m.panMotor;
    c.tiltMotor = m.tiltMotor;
    c.speedMin = m.speedMin;
    c.speedMax = m.speedMax;
    c.moveParam = m.moveParam;
    c.presetFlag = m.presetFlag;
    for (std::string& e : CheckMotionConfig(c))
        // The range keys are checked with the mapping already.
        if (e.find("_min must be below") == std::string::npos && e.find("speed_min must not") == std::string::npos)
            errors.push_back(std::move(e));
}

}  // namespace ptzd::motion
