// WS-Discovery for the gateway's ONVIF heads.
#pragma once

#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "front_end.h"
#include "onvif/service.h"

namespace ptzd::onvif {

// WS-Discovery for every ONVIF head of the gateway: Hello on start, Bye on
// stop, and a unicast ProbeMatches to each Probe whose Types and Scopes
// match (scopes by the RFC 3986 prefix rule unless the probe asks for
// strcmp0). Only on the interfaces of each head's ONVIF address: loopback
// for a loopback address, every interface (with the XAddrs of the one a
// probe came in on) for a wildcard. At most kProbesPerSecond probes of one
// source address are answered each second.
class Discovery final : public FrontEnd {
public:
    // Before any of the services is reached: a device switched to (or from)
    // NonDiscoverable says Bye (or Hello) while discovery runs.
    explicit Discovery(std::vector<Service*> services) : services_(std::move(services)) {
        for (Service* s : services_) s->discoveryChanged = [this, s](bool on) { Announce(on ? "Hello" : "Bye", s); };
    }
    ~Discovery() override;
    std::string Name() const override { return "WS-Discovery"; }
    bool Bind() override { return true; }  // its sockets are taken at Start: a failure there is no reason to stop
    // Hello on every interface; off (logged) when none serves an ONVIF address.
    void Start() override;
    void BeginStop() override { Stop(); }
    void Join() override {}
    void Stop();

    static constexpr int kProbesPerSecond = 3;        // answered, per source address
    static constexpr int kProbesPerSecondInAll = 64;  // answered, all sources together
    static constexpr size_t kMaxSources = 1024;       // the rate table's size

private:
    struct Interface {
        unsigned index;
        in_addr address;  // its first IPv4 address
        std::string name;
        bool loopback;
    };
    struct Device {
        Service* service;
        std::vector<unsigned> interfaces;  // the ones it is reachable on
        bool everywhere;                   // a wildcard address: all of them
        bool Serves(unsigned index) const {
            return everywhere || std::find(interfaces.begin(), interfaces.end(), index) != interfaces.end();
        }
    };
    struct Window {
        int64_t at;  // the second it counts
        int probes;
    };
    void FindInterfaces();
    void Loop();
    // Hello or Bye for every discoverable device, or for `only`.
    void Announce(const char* what, const Service* only = nullptr);
    // The device's service address as seen from `local` ("" when there is none).
    std::string XAddr(const Device& d, in_addr local) const;
    bool Send(const std::string& message, const sockaddr_in& to, const Interface& via, in_addr from);
    // Counts an answered probe from `source`; false when it is over the limits.
    bool Allowed(uint32_t source);

    std::vector<Service*> services_;
    std::vector<Interface> interfaces_;
    std::vector<Device> devices_;
    std::unordered_map<uint32_t, Window> sources_;
    int64_t second_ = 0;
    int answered_ = 0;
    int socket_ = -1;
    std::mutex sending_;  // Announce from a client's SetDiscoveryMode, and Stop
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace ptzd::onvif
