// The ONVIF front end of one head: its SOAP services on HTTP, and its
// answers to WS-Discovery.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "onvif/service.h"

namespace ptzd {
class Listener;
}

namespace ptzd::onvif {

class Server {
public:
    Server(HeadWorker& head, const OnvifConfig& config, const std::string& stateFile);
    ~Server();
    bool Listen();
    void Start();
    // Its listener, to stop it (Shutdown, then Join once the head's queued
    // calls have failed).
    Listener& listener() { return *http_; }
    Service& service() { return service_; }

private:
    OnvifConfig config_;
    Service service_;
    std::unique_ptr<Listener> http_;
};

// WS-Discovery for every ONVIF head of the gateway: Hello on start, Bye on
// stop, and a unicast ProbeMatches to each matching Probe.
class Discovery {
public:
    explicit Discovery(std::vector<Service*> services) : services_(std::move(services)) {}
    ~Discovery();
    bool Start();
    void Stop();

private:
    void Loop();
    void Announce(const char* what);
    std::string Match(const std::string& probe, Service& service, const std::string& relatesTo);

    std::vector<Service*> services_;
    int socket_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace ptzd::onvif
