// The motion layer's events as JSON, the one form every JSON transport
// sends them in (the HTTP live stream; MQTT next).
#pragma once

#include <string>

#include "motion/events.h"

namespace ptzd {

// The event as one line of JSON ({"seq":1,"type":"move_started",...}).
std::string EventJson(const motion::Event& event);

}  // namespace ptzd
