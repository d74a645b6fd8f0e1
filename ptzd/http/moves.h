// The HTTP API's routes in moves rather than frames, over each head's motion
// service: where the head is (degrees, steps, moving, limits), moves with
// dead-man leases, stop, home, named presets, tours, group moves, and a live
// stream of the head's state and events (Server-Sent Events).
//
//   GET    /api/heads/NAME/position
//   POST   /api/heads/NAME/move            {"kind": "absolute"|"relative"|"continuous", ...}
//   POST   /api/heads/NAME/renew           {"lease": N, "timeout": S}
//   POST   /api/heads/NAME/stop | home
//   GET    /api/heads/NAME/presets
//   POST   /api/heads/NAME/presets/P       {"name": "..."}   store here, named
//   PUT    /api/heads/NAME/presets/P       {"name": "..."}   rename
//   DELETE /api/heads/NAME/presets/P
//   POST   /api/heads/NAME/presets/P/go    {"speed": 0..1}
//   GET    /api/heads/NAME/tours, GET|PUT|DELETE /api/heads/NAME/tours/TOUR
//   POST   /api/heads/NAME/tours/TOUR/start|stop|pause|resume
//   POST   /api/moves                      {"moves": [{"head": ..., "pan": ..., "tilt": ...} | {"head": ..., "preset": P}], "speed"|"duration"}
//   GET    /api/heads/NAME/stream          text/event-stream
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "motion/motion.h"

namespace ptzd {

class Routes;

// At most this many live streams at once (each holds a connection).
constexpr int kMaxStreams = 32;

// Registers the routes; they must come before the per-export command routes
// (which would take /api/heads/NAME/WORD for themselves). `stopping` ends
// the live streams; `streams` counts those open (the caller's, for its
// metrics; it must outlive the routes).
void AddMotionRoutes(Routes& routes, const std::vector<motion::Motion*>& heads,
                     const std::atomic<bool>& stopping, std::atomic<int>& streams);

}  // namespace ptzd
