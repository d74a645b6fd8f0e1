// The one lifecycle of every front end (HTTP, ONVIF, VISCA, the native
// protocol, WS-Discovery). main binds them all before anything runs (a port
// that cannot be had stops the start, logged), starts them once the heads
// run, and at the stop begins stopping every one (no new connection or
// request is taken, long waits end; answers being made still go out), stops
// what moves and the heads' workers, then joins them.
#pragma once

#include <string>

namespace ptzd {

class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    // "HTTP", "ONVIF roof", "VISCA roof", "native roof", "WS-Discovery".
    virtual std::string Name() const = 0;
    // Takes its ports; false (with the reason logged) when it cannot.
    virtual bool Bind() = 0;
    virtual void Start() = 0;
    virtual void BeginStop() = 0;
    // After the heads' workers have stopped: every handler has returned.
    virtual void Join() = 0;
    // Its lines for /metrics (none by default).
    virtual void Metrics(std::string&) const {}
};

}  // namespace ptzd
