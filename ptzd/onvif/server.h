// The ONVIF front end of one head: its SOAP services on HTTP (its answers
// to WS-Discovery are discovery.h's).
#pragma once

#include <memory>
#include <string>

#include "front_end.h"
#include "onvif/digest.h"
#include "onvif/extras.h"
#include "onvif/service.h"

namespace ptzd {
class Listener;
}

namespace ptzd::onvif {

class Server final : public FrontEnd {
public:
    // `stateFile` keeps what SetConfiguration set.
    Server(motion::Motion& motion, const OnvifConfig& config, const std::string& stateFile);
    ~Server() override;
    std::string Name() const override { return name_; }
    bool Bind() override { return Listen(); }
    void Start() override;
    // Refuses new requests, then stops reading them.
    void BeginStop() override;
    void Join() override;
    bool Listen();
    // Its listener, to stop it (Shutdown, then Join once the head's queued
    // calls have failed).
    Listener& listener() { return *http_; }
    Service& service() { return service_; }

private:
    const std::string name_;
    OnvifConfig config_;
    Service service_;
    DigestAuth digest_;
    std::unique_ptr<Extras> extras_;  // events, Media2, more device operations
    std::unique_ptr<Listener> http_;
};

}  // namespace ptzd::onvif
