// What configures a head's feed of target positions.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "infra/net.h"

namespace ptzd::follow {

struct Settings {
    std::optional<Address> listen;   // follow = "HOST:PORT": feeds connect and send their lines
    std::optional<Address> connect;  // follow_connect = "IP:PORT": a receiver's port read (BaseStation on 30003)
    // Added to BaseStation altitudes (feet of pressure altitude, taken as
    // metres above the ellipsoid once converted): the site's geoid height
    // and pressure correction, where it matters.
    double heightOffset = 0;
    size_t maxClients = 8;
    size_t perSource = SourceCounts::kPerSourceAuto;
    std::chrono::milliseconds idle{300000};  // a connected feed silent this long is closed
};

}  // namespace ptzd::follow
