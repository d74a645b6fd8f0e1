// What configures a head's rotctld port.
#pragma once

#include <chrono>
#include <cstddef>

#include "infra/net.h"

namespace ptzd::rotctld {

struct Settings {
    Address address;
    double azimuthOffset = 0;  // the azimuth at pan 0, degrees
    int direction = 1;         // 1: azimuth grows with pan; -1: against it
    // A tracker sends positions every second or faster: a new target
    // closer than this to the last one is not sent, and at most `rate`
    // targets a second go to the head (the newest kept for later).
    double minStep = 0.1;  // degrees
    double rate = 2;       // targets a second
    size_t maxClients = 8;
    size_t perSource = SourceCounts::kPerSourceAuto;
    std::chrono::milliseconds idle{300000};
};

}  // namespace ptzd::rotctld
