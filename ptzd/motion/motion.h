// One head's motion service: the one place that knows how a move becomes
// library calls, where the soft limits are, whether the head is moving and
// what just happened. Every front end that speaks in moves (HTTP, ONVIF,
// VISCA, ...) goes through it; the native protocol and the per-export HTTP
// routes go straight to the head's worker.
//
//  - Units and limits: positions in degrees (Units converts to steps and the
//    generic spaces); every absolute, relative and continuous move is kept
//    inside the soft limits. Moves to stored presets and to the user home are
//    the head's own and are not clamped.
//  - Moves: each command (move or stop) gets the next move number. A
//    continuous move holds a lease (its number) that runs out after its
//    dead-man time-out unless renewed; it is then stopped, but only while no
//    newer command came. A stop stops both axes even when one fails.
//  - Shared state: one poller per head reads position and status, fast while
//    moving and slowly when still; State() answers from that reading.
//  - Events: published on the EventBus given at construction.
//  - Tours: started, paused, resumed and stopped here; any other move stops a
//    running tour.
//
// Thread-safe: every call may come from any thread. Commands for the head
// are taken one at a time; State() never waits for the head.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "worker/head_worker.h"
#include "geo/geo.h"
#include "motion/events.h"
#include "motion/follow.h"
#include "motion/motion_config.h"
#include "motion/presets.h"
#include "motion/tours.h"
#include "motion/units.h"

namespace ptzd::motion {

namespace detail {
class Machine;  // detail.h: how the service does what this face offers
}

enum class MoveKind { None, Absolute, Relative, Continuous, Preset, Home, External };
const char* MoveName(MoveKind kind);  // "absolute", ..., "external"; "" for None

enum class Status {
    Ok,
    BadArgument,  // refused before anything was sent (message says why)
    NotFound,     // no such preset name or tour
    LinkDown,     // the head is away, or the gateway stops
    Busy,         // too many commands wait for this head
    HeadFailed,   // the head refused or the exchange failed (outcome says how)
    Superseded,   // a newer command came first; nothing was sent
    StateFailed,  // done, but the state file could not be written (message says why)
};
const char* StatusName(Status status);

struct Result {
    Status status = Status::Ok;
    std::string message;
    Outcome outcome;          // the library's, for HeadFailed
    uint64_t move = 0;        // the command's number; a continuous move's lease
    double pan = 0, tilt = 0; // absolute/relative/continuous: the target in degrees, after the limits
    bool panClamped = false, tiltClamped = false;
    double seconds = 0;       // how long the move should take, where known
    bool ok() const { return status == Status::Ok; }
};

// How fast a move goes: a share of the speed range for both axes, or a
// duration after which both axes arrive together. Neither: the head's
// default speed.
struct Pace {
    std::optional<double> speed;
    std::optional<std::chrono::milliseconds> duration;
    // The tilt axis's own share when it differs (absent: `speed` for both).
    std::optional<double> tiltSpeed;
};

// The shared state: what the poller last read, and what is in hand.
struct Snapshot {
    bool linkUp = false;
    bool known = false;              // read at least once since the link came up
    int32_t panSteps = 0, tiltSteps = 0;
    double pan = 0, tilt = 0;        // degrees
    bool moving = false;             // from the status byte and the position's change
    bool flagsKnown = false;
    int32_t flags[4] = {};           // the head's four status flags (1: status byte 0x00)
    MoveKind move = MoveKind::None;  // the move in hand, or the last one
    uint64_t generation = 0;         // its number
    int preset = 0;                  // its preset, for a move to a preset
    int atPreset = 0;                // the preset the head stands at (reached, not left since); 0: none
    std::optional<bool> infrared;    // the infrared lamp as last set through this gateway
    std::chrono::steady_clock::time_point read{};  // when the head was last read
    uint64_t readings = 0;           // readings taken since the start
};

class Motion {
public:
    struct Files {
        std::string presets;  // the preset names' state file ("": memory only)
        std::string tours;    // the tours' state file ("": memory only)
        std::string pose;     // the calibrated orientation's state file ("": memory only)
    };
    // `config` should have passed CheckMotionConfig; `head` and `events`
    // must outlive the service.
    Motion(HeadWorker& head, const MotionConfig& config, EventBus& events, Files files = {});
    ~Motion();
    Motion(const Motion&) = delete;
    Motion& operator=(const Motion&) = delete;

    // Starts the poller and the tour runner.
    void Start();
    // For shutdown: stops a running tour and whatever move this layer has
    // in hand, then ends the poller. Later commands fail with LinkDown. Call
    // after the worker's BeginStop and before its Stop.
    void StopAll();

    const std::string& name() const;
    const Units& units() const;
    EventBus& events();

    // From the shared state, without asking the head. The poller reads the
    // head only while someone wants its state: for kReadWatch after a
    // State(), while a watcher is registered, and while a move is in hand;
    // with none of these a head costs no exchange. The first State() after
    // such a quiet spell may be that old (its `read` says when); it wakes
    // the poller.
    Snapshot State() const;
    // A front end that needs the state kept fresh all along (a live stream,
    // ONVIF, VISCA) registers while it does.
    void Watch();
    void Unwatch();
    static constexpr auto kReadWatch = std::chrono::seconds(10);
    // The head's three system texts (model, firmware, serial), read once
    // each time the link comes up; `known` false until then.
    struct Identity {
        bool known = false;
        std::string model, firmware, serial;
    };
    Identity HeadIdentity() const;
    // The identity once it has been read, waiting at most `within` for it
    // right after the link came up; not known when the link is down.
    Identity WaitIdentity(std::chrono::milliseconds within);
    // The shared state once the head's position has been read, waiting at
    // most `within` for the first reading after the start or a link-up.
    Snapshot FirstReading(std::chrono::milliseconds within);
    // The head's infrared control (an auxiliary command of ONVIF).
    Result SetInfrared(bool on);
    // Waits until move `move` has finished (true) or a newer command has
    // superseded it, the deadline passed, or the service stops (false).
    bool WaitFinished(uint64_t move, std::chrono::steady_clock::time_point deadline);

    // `within` narrows where a move may go (degrees; a front end's own
    // limits, inside the soft limits): applied, like the soft limits, to the
    // target worked out when the move is sent.
    struct Box {
        Range pan, tilt;
    };
    // To a position in degrees (an absent axis stays where it is).
    Result Absolute(std::optional<double> pan, std::optional<double> tilt, const Pace& pace = {},
                    std::optional<Box> within = std::nullopt);
    // By a distance in degrees from where the head is when the move is sent.
    Result Relative(double pan, double tilt, const Pace& pace = {}, std::optional<Box> within = std::nullopt);
    // Each axis at a velocity in [-1, 1] (its sign is the direction) until
    // the soft limit, a stop, a newer command, or the lease running out
    // after `timeout` (absent: the configured continuous_timeout; at most
    // kMaxLease). Both velocities 0: a stop.
    Result Continuous(double panVelocity, double tiltVelocity,
                      std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                      std::optional<Box> within = std::nullopt);
    // Extends a continuous move's lease by `timeout` from now; false when
    // that move is no longer the one in hand or its lease has run out
    // already (a late renewal never revives a move).
    bool Renew(uint64_t lease, std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    // Stops both axes at once: it goes to the head before every command
    // still waiting (those that came before it are dropped unsent, answered
    // Superseded) and right after the exchange in flight, which it stops
    // too if that set the head going.
    Result Stop();
    // The number of the last command (move or stop) sent to the head.
    uint64_t LastCommand() const;
    // An absolute move sent only while `command` is still the last command
    // (Superseded otherwise): for a caller that must not override another's.
    Result AbsoluteAfter(uint64_t command, double pan, double tilt);
    // Stops move `command` unless a newer command came since.
    void StopMoveOf(uint64_t command, const std::string& reason);
    // The order of one client's own commands, for clients whose requests may
    // arrive out of order (a page behind a network that held them back):
    // each names itself and numbers its commands. A stop numbered `seq`
    // makes every move of that client numbered below it stale. Call before
    // the command: false when a move is stale (refuse it; nothing is sent).
    bool InClientOrder(const std::string& client, uint64_t seq, bool stop);
    static constexpr size_t kMaxOrderedClients = 256;
    Result Home();
    Result StoreHome();

    // Presets 1-16: moving to one is not clamped (it is the head's own);
    // storing one names it ("" names it "Preset N").
    Result GoPreset(int preset, const Pace& pace = {});
    Result StorePreset(int preset, const std::string& name);
    Result RenamePreset(int preset, const std::string& name);
    // Forgets the name (the head keeps its position).
    Result RemovePreset(int preset);
    PresetStore& presets();

    // Tours.
    std::vector<Tour> Tours();
    std::optional<Tour> GetTour(const std::string& name);
    // Stores (or replaces) a tour; a running tour of that name stops.
    Result PutTour(const Tour& tour);
    Result RemoveTour(const std::string& name);
    Result StartTour(const std::string& name);
    Result StopTour();
    Result PauseTour();
    Result ResumeTour();
    TourStatus CurrentTour() const;

    // The estimated travel time of an absolute move from where the head is
    // now (read from the head) at a share of the speed range; for a group
    // move. A preset whose position is unknown takes 0.
    Result Estimate(std::optional<double> pan, std::optional<double> tilt, int preset, double speed);

    // How long a command waits for the one before it.
    static constexpr auto kCommandWait = std::chrono::seconds(8);

    // Pointing at the world (pointing.cpp). The head's place and
    // orientation come from the configuration (SetPose, before Start); a
    // calibration from landmarks replaces the orientation and is kept in
    // the pose state file, which is read back at the next start.
    void SetPose(std::optional<GeoPose> pose);
    std::optional<GeoPose> Pose() const;
    // Sets the head's place and orientation while it runs (nullopt: it has
    // none), as ONVIF's SetGeoLocation and DeleteGeoLocation do; kept in the
    // pose file and read back at the next start, as long as the configured
    // location is still the one it replaced. Landmarks are forgotten.
    Result SetLocation(std::optional<GeoPose> pose);
    // An absolute move that points at `target`; refused (BadArgument) when
    // the head has no place, or the target lies outside the soft limits
    // (or outside `within`, degrees, when given).
    Result PointAt(const geo::Place& target, const Pace& pace = {}, std::optional<Box> within = std::nullopt);
    // The pan and tilt PointAt would move to; none (and why) when it would refuse.
    std::optional<geo::PanTilt> Aim(const geo::Place& target, std::string& why, std::optional<Box> within = std::nullopt) const;
    // Following a moving target (follow.h); configured before Start.
    void ConfigureFollow(const FollowSettings& settings);
    Follow& follow() { return *follow_; }
    // Where the head looks now (from the shared state): azimuth and
    // elevation, and the ground point when the pose has a ground height.
    struct Looking {
        geo::Look look;
        std::optional<geo::Place> ground;
    };
    std::optional<Looking> LookingAt();
    // Landmarks: "the head now looks at `place`" (the pan and tilt read
    // now); at most kMaxLandmarks, the oldest forgotten.
    static constexpr size_t kMaxLandmarks = 8;
    Result AddLandmark(const geo::Place& place);
    std::vector<geo::Landmark> Landmarks() const;
    void ClearLandmarks();
    // Solves the orientation from the landmarks and keeps it.
    Result Calibrate(geo::Calibration& out);

private:
    std::unique_ptr<detail::Machine> machine_;
    std::unique_ptr<Follow> follow_;  // after machine_: it goes first
    mutable std::mutex poseMutex_;
    Result SavePose();  // poseMutex_ held
    std::optional<GeoPose> pose_;
    std::optional<geo::Place> configuredPlace_;
    std::vector<geo::Landmark> landmarks_;
    std::string poseFile_;
};

}  // namespace ptzd::motion
