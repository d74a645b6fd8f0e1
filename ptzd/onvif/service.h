// One head as an ONVIF device: the device, media and PTZ services (SOAP 1.2
// over HTTP), answered from schema-ordered templates with the head's values
// filled in. The PTZ service translates into the head's motion service
// (moves, leases, presets, tours, the shared state); only byte-exact
// commands (device information, auxiliary commands) go to the head's
// worker. Every number a request carries is checked whole before anything
// moves.
#pragma once

#include <atomic>
#include <functional>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "auth.h"
#include "onvif/dispatch.h"
#include "onvif/identity.h"
#include "onvif/onvif_config.h"
#include "motion/motion.h"
#include "soap.h"

namespace ptzd::onvif {

// What ONVIF's SetConfiguration may change, kept in the state directory
// (`<state_dir>/<head>.onvif.json`): the speed and time-out of moves that
// name none, and pan/tilt limits in degrees inside the head's soft limits.
struct PtzSettings {
    double speed = 1.0;                       // share of the speed range
    std::chrono::milliseconds timeout{10000};  // a ContinuousMove's lease
    motion::Range pan, tilt;                  // degrees
    bool discoverable = true;                 // SetDiscoveryMode: WS-Discovery answers for it
};

class Service {
public:
    // `stateFile` keeps what SetConfiguration set ("" keeps it in memory
    // only). The service watches `motion`'s state while it lives.
    Service(motion::Motion& motion, const OnvifConfig& config, const std::string& stateFile);
    ~Service();

    // Refuses moves from now on (for the gateway's shutdown; the motion
    // layer stops what moves).
    void StopAll();
    // Told the topic of each change a client made ("tns1:Configuration/PTZ"
    // ...), for an events service; set before the service is reached.
    std::function<void(const std::string& topic)> notify;
    // WS-Discovery's mode, kept with the settings; told to
    // `discoveryChanged` when it changes (set before the service is reached).
    bool Discoverable();
    std::string SetDiscoverable(bool on);
    std::function<void(bool on)> discoveryChanged;
    // What a ContinuousMove without a Timeout (or with PT0S) runs for: the
    // DefaultPTZTimeout the PTZ configuration advertises.
    static constexpr std::chrono::seconds kDefaultTimeout{10};

    // Answers one request body: the HTTP status and the response envelope.
    // `host` is the request's Host header (what the service addresses in
    // the answers are made of); empty: the configured address.
    // `path` is the HTTP path it came to, `digest` whether HTTP Digest
    // authenticated it.
    int Handle(const std::string& body, std::string& response, const std::string& host = "", const std::string& path = "",
               bool digest = false);
    // The device's operations: the ones this service answers, and more
    // added by the server before the device is reached (extras.h).
    Dispatch& operations() { return dispatch_; }
    // The address clients reach the services at (as configured, an IPv6
    // address in brackets).
    std::string BaseUrl() const;
    // The same with another host (an interface's address for a wildcard).
    std::string BaseUrlWith(const std::string& host) const;
    // True when the services listen on every address (0.0.0.0 or ::).
    bool Wildcard() const;
    const std::string& Host() const { return config_.address.host; }
    const std::string& Uuid() const { return uuid_; }
    std::string Scopes() const;  // space-separated

private:
    void AddDevice(Dispatch& d);
    void AddMedia(Dispatch& d);
    void AddPtz(Dispatch& d);
    void AddGeoLocation(Dispatch& d);  // geolocation.cpp
    std::string MediaCapabilities() const;
    Reply Ok(const std::string& body) { return {200, Envelope(body)}; }
    Reply Unsupported(const std::string& what);
    // env:Sender/ter:InvalidArgVal, with the operation's own subcode below it
    // when there is one ("ter:InvalidPosition").
    Reply BadArgs(const std::string& why, const char* detail = nullptr);
    Reply HeadFailure(const Outcome& o, const char* what);
    static Reply Closing();  // a move after StopAll
    Reply SetPreset(const pugi::xml_node& in);

    Reply Motion(const motion::Result& r, const char* what);
    Reply SetConfiguration(const pugi::xml_node& in);
    Reply Tours(const std::string& op, const pugi::xml_node& in);

    std::string ProfileXml();
    std::string PtzConfigurationXml(const char* element);
    std::string NodeXml(const char* element);
    std::string SpacesXml();
    std::string GenericXml(int32_t pan, int32_t tilt) const;  // a tt:PanTilt in the generic space
    PtzSettings Settings();
    std::string SaveSettings(const PtzSettings& s);

    motion::Motion& motion_;
    OnvifConfig config_;
    Dispatch dispatch_;
    Authenticator auth_;
    Identity identity_;
    std::string uuid_;
    std::string stateFile_;
    std::atomic<bool> closed_{false};  // StopAll ran
    std::mutex settingsMutex_;
    PtzSettings settings_;
    std::mutex presetOps_;  // one SetPreset, RemovePreset or tour change at a time
    std::vector<std::string> emptyTours_;  // made by CreatePresetTour, no spots yet (presetOps_)
};

}  // namespace ptzd::onvif
