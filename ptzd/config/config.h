// ptzd's configuration: the HTTP address, an optional token, the log level
// and the heads, from a TOML file or from the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "infra/net.h"
#include "motion/motion_config.h"
#include "mqtt/mqtt_config.h"
#include "follow/follow_config.h"
#include "rotctld/rotctld_config.h"
#include "onvif/onvif_config.h"

namespace ptzd {



struct HeadConfig {
    std::string name;
    std::string link;  // "serial:/dev/ttyUSB0", "com:3", "tcp:10.0.0.7:4001"
    std::optional<Address> listen;
    int32_t maxClients = 1024;  // native clients at once; more are closed at once
    int32_t maxConnectionsPerSource = -1;  // the gateway's max_connections_per_source, for every port of the head
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
    std::optional<Address> viscaUdpRaw;
    // location = [lat, lon, height], orientation = [yaw, pitch, roll], ground_height.
    std::optional<motion::GeoPose> pose;
    std::optional<follow::Settings> follow;  // follow / follow_connect and the follow_* keys of the port
    motion::FollowSettings following;        // follow_target, follow_rate, follow_min_step, follow_lease
    std::optional<rotctld::Settings> rotctld;  // rotctld = "HOST:PORT" and its rotctld_* keys  // header-less VISCA on UDP (one message per datagram)
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
    int32_t maxConnectionsPerSource = -1;  // -1: not given (three quarters of each port's cap); 0: off
    std::string token;
    // This gateway's name: one of [A-Za-z0-9_-], 1-64 (empty: the host's
    // name, see GatewayName).
    std::string gateway;
    std::string log = "info";
    // Where state (the ONVIF preset names) is kept; empty: chosen by
    // ResolveStateDir.
    std::string stateDir;
    std::string stateDirWhere;  // where it was given, for messages
    std::vector<HeadConfig> heads;
    std::optional<MqttConfig> mqtt;  // the [mqtt] table: off without it
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
// Checks a link text; empty when fine, else what is wrong.
std::string CheckLink(const std::string& link);
// Checks a head name: 1-64 of A-Z a-z 0-9 _ . - (safe in URLs and metrics
// labels); empty when fine, else what is wrong.
std::string CheckHeadName(const std::string& name);

// `gateway` when given, else the host's name with every character outside
// [A-Za-z0-9_-] made '-' (at most 64; "ptzd" when there is none).
std::string GatewayName(const Config& config);
// A head given on the command line as NAME=LINK.
bool ParseHeadOption(const std::string& text, HeadConfig& head, std::string& error);

}  // namespace ptzd
