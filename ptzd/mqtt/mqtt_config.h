// What configures ptzd's MQTT client (the [mqtt] table).
#pragma once

#include <cstdint>
#include <string>

namespace ptzd {

struct MqttConfig {
    std::string host;  // from broker = "mqtt://HOST:PORT" or "mqtts://HOST:PORT"
    int port = 1883;
    bool tls = false;
    std::string caFile, certFile, keyFile;  // TLS: the CA to trust; a client certificate and its key (optional)
    std::string user;
    std::string passwordFile;  // the password, first line of this file ("" : none)
    std::string clientId;      // "" : "ptzd-<gateway>"
    int protocol = 5;          // 5, or 4 for MQTT 3.1.1
    int keepalive = 30;        // seconds
    std::string prefix = "ptzd";
    std::string gateway;       // one topic level of [A-Za-z0-9_-]; "" : the gateway's name
    double stateHz = 5;        // a moving head's state at most this often
    bool commands = true;      // false: publish only
    bool discovery = true;     // Home Assistant discovery
    std::string discoveryPrefix = "homeassistant";
    bool discoveryRetain = true;
    int rateLimit = 20;        // commands a head takes per second; more are answered busy
    int maxAgeSeconds = 10;    // a command older than this (by its message expiry) is refused
};

}  // namespace ptzd
