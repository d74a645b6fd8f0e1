// ptzd's configuration: the HTTP address, an optional token, the log level
// and the heads, from a TOML file or from the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "motion/motion_config.h"

namespace ptzd {

// The WS-Discovery port (UDP), bound once a head speaks ONVIF.
constexpr int kWsDiscoveryPort = 3702;

struct Address {
    std::string host;
    int port = 0;
    std::string where = {};  // where it was given ("site.toml:3", "--http"), for messages
};

// How a head's generic moves map onto its commands. The defaults are the
// simulated head's model (positions in 1/100 degree).
struct Mapping {
    int32_t panMotor = 0;
    int32_t tiltMotor = 4;
    int32_t panMin = -17000, panMax = 17000;
    int32_t tiltMin = -9000, tiltMax = 3000;
    int32_t speedMin = 1, speedMax = 255;
    int32_t moveParam = 1;   // the param byte of PTZ_SetPTPos
    int32_t presetFlag = 0;  // the flag of PTZ_SetPresetPos / PTZ_SetUserHP
};

// The head as an ONVIF device.
struct OnvifConfig {
    Address address;       // where its device, media and PTZ services listen
    std::string user;      // empty: no authentication
    std::string password;
    std::string rtsp;      // the camera's stream, for GetStreamUri
    std::string snapshot;  // the camera's snapshot address, for GetSnapshotUri
    int32_t maxConnections = 64;  // concurrent HTTP connections to its services
    int32_t maxConnectionsPerSource = 0;  // the gateway's max_connections_per_source
    // The camera's field of view in degrees (fov_horizontal, fov_vertical):
    // a RelativeMove of 1.0 in TranslationSpaceFov turns by one of them.
    double fovHorizontal = 60, fovVertical = 34;
};

struct HeadConfig {
    std::string name;
    std::string link;  // "serial:/dev/ttyUSB0", "com:3", "tcp:10.0.0.7:4001"
    std::optional<Address> listen;
    int32_t maxClients = 1024;  // native clients at once; more are closed at once
    int32_t maxConnectionsPerSource = 0;  // the gateway's max_connections_per_source, for every port of the head
    Mapping mapping;
    motion::MotionConfig motion;  // units, soft limits, polling: the motion keys (motion/motion_config_toml.h)
    std::optional<OnvifConfig> onvif;
    // The camera's snapshot address (the page's picture; ONVIF's
    // GetSnapshotUri when onvif is on), with or without onvif.
    std::string snapshot;
    // What the four status flags mean, for the page; empty: flag 0..3.
    std::vector<std::string> statusLabels;
    // VISCA: over IP on UDP (with its header), plain on TCP; off unless given.
    std::optional<Address> viscaUdp, viscaTcp;
    double viscaUnitsPerDegree = 14.4;  // VISCA position units per degree (170 degrees = 0x0990)
    int32_t viscaMaxClients = 8;        // TCP connections at once
    int32_t viscaIdleSeconds = 60;      // a silent TCP connection is closed after this
};

struct Config {
    Address http{"127.0.0.1", 8080};
    bool httpEnabled = true;
    // Host names the HTTP API answers to besides loopback names and IP
    // literals (what a browser sends in Host for this gateway).
    std::vector<std::string> httpHosts;
    int32_t httpMaxConnections = 256;
    // Connections one source address may hold on any port (kept below
    // each port's cap; 0: no cap of its own).
    int32_t maxConnectionsPerSource = 0;
    std::string token;
    std::string log = "info";
    // Where state (the ONVIF preset names) is kept; empty: chosen by
    // ResolveStateDir.
    std::string stateDir;
    std::string stateDirWhere;  // where it was given, for messages
    std::vector<HeadConfig> heads;
    std::string path;  // the file it came from ("" from the command line)
};

constexpr int32_t kMaxConnectionsLimit = 4096;

// Reads and validates a configuration file, then checks it whole
// (CheckConfig). On failure returns false with one line per problem in
// `errors` ("FILE:LINE: what is wrong").
bool LoadConfig(const std::string& path, Config& config, std::vector<std::string>& errors);
// The same from text; `path` only names it in messages.
bool LoadConfigText(const std::string& text, const std::string& path, Config& config,
                    std::vector<std::string>& errors);
// The checks that span the whole configuration, after the command line's
// overrides too: every listening address an IP literal ("localhost" becomes
// 127.0.0.1), no port 0, no port served twice, the state directory usable
// when something keeps state there (ResolveStateDir first). Appends
// "WHERE: what is wrong" lines.
bool CheckConfig(Config& config, std::vector<std::string>& errors);
// Fills config.stateDir when empty: $STATE_DIRECTORY (systemd's
// StateDirectory=), else the configuration file's directory; a relative
// state_dir is taken from the configuration file's directory.
void ResolveStateDir(Config& config);
// Parses "HOST:PORT" ("[::1]:PORT" for IPv6); syntax only.
bool ParseAddress(const std::string& text, Address& address);
// Checks a link text; empty when fine, else what is wrong.
std::string CheckLink(const std::string& link);
// Checks a head name: 1-64 of A-Z a-z 0-9 _ . - (safe in URLs and metrics
// labels); empty when fine, else what is wrong.
std::string CheckHeadName(const std::string& name);
// A head given on the command line as NAME=LINK.
bool ParseHeadOption(const std::string& text, HeadConfig& head, std::string& error);

}  // namespace ptzd
