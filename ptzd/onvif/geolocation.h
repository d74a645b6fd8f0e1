// The head's place on earth as ONVIF tells it: tt:GeoLocation (lat, lon,
// elevation) and tt:GeoOrientation (roll, pitch, yaw) attributes, read and
// written.
#pragma once

#include <optional>
#include <string>

#include "motion/motion_config.h"
#include "soap.h"

namespace ptzd::onvif {

struct GeoAttributes {
    std::optional<double> lat, lon, elevation;
};
// A tt:GeoLocation's attributes; the reason when one is given and is not a
// number in range (lat -90..90, lon -180..180, elevation -12000..100000 m).
std::string ParseGeoLocation(const pugi::xml_node& node, GeoAttributes& out);

// A tt:LocationEntity for the device: its place and orientation.
std::string LocationEntityXml(const motion::GeoPose& pose);

}  // namespace ptzd::onvif
