// Following a moving target: positions of many targets come in (an ADS-B
// receiver's aircraft, a tracker's balloon), one of them, chosen by its id,
// is looked at. Fixes arrive faster than a head should be moved: the newest
// waits for its turn (at most `rate` moves a second) and a step smaller
// than `minStep` is not made. The feed holds a lease: when no fix of the
// target came for `lease`, what the follower started is stopped. A command
// from anyone else takes the head: following pauses until the target is
// chosen again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "geo/geo.h"
#include "motion/motion_config.h"

namespace ptzd::motion {

class Motion;

struct Fix {
    std::string id;  // as the feed names it (an ICAO address, a callsign, ...)
    geo::Place place;
};

class Follow {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxId = 64;

    Follow(Motion& motion, FollowSettings settings);
    ~Follow();
    Follow(const Follow&) = delete;
    Follow& operator=(const Follow&) = delete;

    // The target by id ("" for none: what following started is stopped).
    // Ids are compared without case. False (nothing changed) for an id
    // longer than kMaxId or holding control characters.
    bool SetTarget(const std::string& id);
    // A fix of some target (only the chosen one's counts).
    void Feed(const Fix& fix);
    // Stops following for good (the gateway's stop): nothing is sent after.
    void Close();

    struct Status {
        std::string target;
        bool following = false;           // moves are being sent for it
        std::optional<Fix> last;          // its newest fix
        std::optional<Clock::time_point> lastAt;
        uint64_t fixes = 0, moves = 0;    // its fixes taken and moves sent, since it was chosen
        std::string problem;              // why the head does not look at it ("" when it does)
        FollowSettings settings;
    };
    Status State() const;

private:
    void Loop();
    void Start();  // lock_ held

    Motion& motion_;
    const FollowSettings settings_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::thread thread_;
    bool closed_ = false;
    Status status_;
    uint64_t targetEpoch_ = 0;              // counts SetTarget calls
    bool pending_ = false;                  // a fix not yet acted on
    Clock::time_point sentAt_{};            // the last move's
    std::optional<std::pair<double, double>> sent_;  // its pan and tilt
    // The last command following sent for this target (0: none yet): any
    // other command since took the head. `moving_`: that move may still be
    // in hand, and the feed's lease runs for it.
    uint64_t own_ = 0;
    bool moving_ = false;
    uint64_t stopOwed_ = 0;                 // a move of the last target, to stop
    bool yielded_ = false;                  // another command took the head
};

}  // namespace ptzd::motion
