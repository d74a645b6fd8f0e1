// The tokens of the one profile every head's ONVIF device has: its media
// profile, video source and encoder configurations, PTZ configuration and
// node. Media (ver10 and Media2) and PTZ answers name them alike.
#pragma once

namespace ptzd::onvif {

inline constexpr const char* kProfile = "Profile_1";
inline constexpr const char* kPtzConfig = "PTZConfig_1";
inline constexpr const char* kNode = "PTZNode_1";
inline constexpr const char* kSource = "VideoSource_1";
inline constexpr const char* kSourceConfig = "VideoSourceConfig_1";
inline constexpr const char* kEncoderConfig = "VideoEncoderConfig_1";

}  // namespace ptzd::onvif
