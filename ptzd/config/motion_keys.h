// The motion keys of a [[head]] table in ptzd's configuration file:
//   pan_degrees_per_step = 0.01        tilt_degrees_per_step = 0.01
//   pan_calibration = [[0, 0.0], [9000, 90.0]]   (two [steps, degrees] pairs,
//   tilt_calibration = ...                         instead of the factor)
//   pan_limits = [-90.0, 90.0]         tilt_limits = [-45.0, 20.0]   (degrees)
//   steps_per_second_per_speed = 50    default_speed = 1.0 (0-1)
//   poll_moving_hz = 20                poll_idle_hz = 1
//   continuous_timeout = 10.0          (seconds)
#pragma once

#include <string>
#include <toml++/toml.h>
#include <vector>

#include "motion/motion_config.h"

namespace ptzd::motion {

// Reads one key of a [[head]] table. False when the key is not one of the
// motion layer's; otherwise true, with what is wrong with its value (if
// anything) appended to `errors`.
bool ParseMotionKey(const std::string& key, const toml::node& node, MotionConfig& config,
                    std::vector<std::string>& errors);

// After the whole table: the mechanical range, motors, speed range, move
// param and preset flag are taken from the head's mapping (pan_min ...
// preset_flag), then the whole is checked (CheckMotionConfig).
void FinishMotionConfig(const Mapping& mapping, MotionConfig& config, std::vector<std::string>& errors);

}  // namespace ptzd::motion
