// The operations of one head's ONVIF device beyond the device, media and
// PTZ basics: the Events service (events.h), Media2 (ver20/media) over the
// same H264 profile, and the device's network, time, discovery and user
// operations. The service asks this module first, after authentication.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "onvif/onvif_config.h"
#include "onvif/events.h"
#include "soap.h"

namespace ptzd::onvif {

constexpr const char* kMedia2 = "http://www.onvif.org/ver20/media/wsdl";
constexpr const char* kNotification = "http://docs.oasis-open.org/wsn/b-2";

class Extras {
public:
    Extras(std::string head, const OnvifConfig& config, motion::EventBus* bus);
    // The answer (HTTP status, envelope) when the operation is one of
    // ours; nothing otherwise. `path` is the HTTP request's path.
    std::optional<std::pair<int, std::string>> Handle(const Request& r, const std::string& path);
    PullPoints& events() { return events_; }
    // Adds what the device's own answers lack: the Events and Media2
    // services to GetServices, Events to GetCapabilities, HTTP Digest to the
    // security capabilities.
    void Amend(std::string& answer) const;

    // The path each service is served at.
    static constexpr const char* kEventsPath = "/onvif/events_service";
    static constexpr const char* kMedia2Path = "/onvif/media2_service";

    // The MAC address of the interface holding `host` ("aa:bb:..."), else
    // a locally administered one made of the head's name.
    static std::string MacFor(const std::string& host, const std::string& head, std::string& interfaceName);

private:
    std::pair<int, std::string> Device(const Request& r);
    std::pair<int, std::string> Media2(const Request& r);
    std::string Media2Capabilities() const;
    std::string head_;
    OnvifConfig config_;
    PullPoints events_;

public:
    // WS-Discovery's mode is the device's (kept with its settings).
    std::function<bool()> discoverable;
    std::function<std::string(bool on)> setDiscoverable;
};

// What the HTTP layer knows of the request this thread answers: set by the
// server around Service::Handle.
struct HttpContext {
    Extras* extras = nullptr;
    std::string path;
    bool digest = false;  // HTTP Digest authenticated it
};
HttpContext& CurrentHttp();

}  // namespace ptzd::onvif
