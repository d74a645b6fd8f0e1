// What configures a head's ONVIF device.
#pragma once

#include <cstdint>
#include <string>

#include "infra/net.h"

namespace ptzd {

// The WS-Discovery port (UDP), bound once a head speaks ONVIF.
constexpr int kWsDiscoveryPort = 3702;

// The head as an ONVIF device.
struct OnvifConfig {
    Address address;       // where its device, media and PTZ services listen
    std::string user;      // empty: no authentication
    std::string password;
    // A PasswordText token with neither Nonce nor Created (the password in
    // clear, nothing against a replay) is taken only when this is set.
    bool plainPassword = false;
    std::string rtsp;      // the camera's stream, for GetStreamUri
    // The gateway's name (`gateway`): with the head's, the device's
    // identity (its MAC address, serial number and discovery endpoint).
    std::string gateway = "ptzd";
    std::string location;  // free text, for the discovery scope location/
    std::string snapshot;  // the camera's snapshot address, for GetSnapshotUri
    int32_t maxConnections = 64;  // concurrent HTTP connections to its services
    int32_t maxConnectionsPerSource = -1;  // the gateway's max_connections_per_source (-1: not given, 0: off)
    // The camera's field of view in degrees (fov_horizontal, fov_vertical):
    // a RelativeMove of 1.0 in TranslationSpaceFov turns by half of one
    // (from the image's centre to its edge).
    double fovHorizontal = 60, fovVertical = 34;
};

}  // namespace ptzd
