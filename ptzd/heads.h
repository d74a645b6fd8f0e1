// The gateway's heads: for each, the worker that owns its link, its event
// bus, its motion service and what its own front ends are given, by name
// and in the configuration's order.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/server.h"
#include "motion/events.h"
#include "motion/motion.h"
#include "native/server.h"
#include "onvif/onvif_config.h"
#include "visca/camera.h"
#include "visca/server.h"
#include "worker/head_worker.h"

namespace ptzd {

// A head's own front ends, as the configuration asks for them (each
// absent: off for this head), and what the gateway tells of it.
struct HeadFrontEnds {
    std::optional<Address> native;
    NativeLimits nativeLimits;
    visca::ViscaPorts visca;  // neither: no VISCA
    visca::ServerLimits viscaLimits;
    visca::CameraConfig camera;
    std::optional<OnvifConfig> onvif;
    std::string onvifState;  // where SetConfiguration's settings are kept ("": memory only)
    HeadListing listing;     // for GET /api/heads: its addresses, mapping, status labels, snapshot
};

struct Head {
    std::unique_ptr<HeadWorker> worker;
    std::unique_ptr<motion::EventBus> bus;
    std::unique_ptr<motion::Motion> motion;
    HeadFrontEnds frontEnds;
    const std::string& name() const { return worker->name(); }
};

class Heads {
public:
    // `subscribers`: room on each head's event bus (every subscriber its
    // front ends allow, so that one head's never take another's place).
    explicit Heads(size_t subscribers) : subscribers_(subscribers) {}
    Head& Add(const std::string& name, const std::string& link, const motion::MotionConfig& config,
              motion::Motion::Files files, HeadFrontEnds frontEnds = {});
    Head* Find(const std::string& name);
    const std::vector<Head>& all() const { return heads_; }
    size_t size() const { return heads_.size(); }
    std::vector<HeadWorker*> Workers() const;
    std::vector<motion::Motion*> Motions() const;
    std::vector<HeadListing> Listings() const;

    // The workers, then the motion services.
    void Start();
    // The stop, in its steps: the buses close (waits for events end) and
    // the workers take no new calls (queued ones fail)...
    void BeginStop(std::chrono::steady_clock::time_point exchangesBy);
    // ... what moves is stopped (its stops still reach the heads) ...
    void StopMotion();
    // ... and the workers end: the exchange in flight finishes, the links close.
    void Stop(std::chrono::steady_clock::time_point by);

private:
    const size_t subscribers_;
    std::vector<Head> heads_;
};

}  // namespace ptzd
