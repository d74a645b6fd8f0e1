// Who a head is as an ONVIF device: a name-based identity, the same for
// the same gateway and head on every start and on every machine, and
// different for every head, even when heads share an address or an
// interface (clients such as Home Assistant key their devices on the MAC
// address, then on the serial number).
#pragma once

#include <string>

namespace ptzd::onvif {

struct Identity {
    std::string mac;     // "02:xx:xx:xx:xx:xx": unicast, locally administered
    std::string uuid;    // WS-Discovery's endpoint: "xxxxxxxx-xxxx-5xxx-8xxx-xxxxxxxxxxxx"
    std::string serial;  // "GATEWAY/HEAD"
};

Identity IdentityOf(const std::string& gateway, const std::string& head);

// A scope's last segment: RFC 3986 unreserved characters kept, every other
// byte as %XX ("roof east" -> "roof%20east").
std::string ScopeSegment(const std::string& text);

}  // namespace ptzd::onvif
