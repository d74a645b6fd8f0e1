// The operations of one head's ONVIF device beyond the device, media and
// PTZ basics: the Events service (events.h), Media2 (ver20/media) over the
// same H264 profile, and the device's network, time, discovery and user
// operations, added to the device's table of operations.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "onvif/dispatch.h"
#include "onvif/onvif_config.h"
#include "onvif/events.h"
#include "soap.h"

namespace ptzd::onvif {

constexpr const char* kMedia2 = "http://www.onvif.org/ver20/media/wsdl";
constexpr const char* kNotification = "http://docs.oasis-open.org/wsn/b-2";

class Extras {
public:
    Extras(std::string head, const OnvifConfig& config, motion::Motion* motion);
    // Adds its operations and services to the device's (after the
    // service's own: an operation both have is this one's).
    void Register(Dispatch& d);
    PullPoints& events() { return events_; }

    // The path each service is served at.
    static constexpr const char* kEventsPath = "/onvif/events_service";
    static constexpr const char* kMedia2Path = "/onvif/media2_service";

    // The name of the interface holding `host` ("lo" for loopback, else
    // "eth0" when none holds it: a wildcard).
    static std::string InterfaceFor(const std::string& host);

private:
    void AddDevice(Dispatch& d);
    void AddMedia2(Dispatch& d);
    std::string Media2Capabilities() const;
    std::string head_;
    OnvifConfig config_;
    PullPoints events_;

public:
    // WS-Discovery's mode is the device's (kept with its settings).
    std::function<bool()> discoverable;
    std::function<std::string(bool on)> setDiscoverable;
};

}  // namespace ptzd::onvif
