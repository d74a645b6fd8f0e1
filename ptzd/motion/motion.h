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
#include <atomic>
#include <condition_variable>
#include <future>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "worker/head_worker.h"
#include "motion/events.h"
#include "motion/motion_config.h"
#include "motion/presets.h"
#include "motion/tours.h"
#include "motion/units.h"

namespace ptzd::motion {

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
    std::chrono::steady_clock::time_point read{};  // when the head was last read
    uint64_t readings = 0;           // readings taken since the start
};

class Motion {
public:
    struct Files {
        std::string presets;  // the preset names' state file ("": memory only)
        std::string tours;    // the tours' state file ("": memory only)
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

    const std::string& name() const { return head_.name(); }
    const Units& units() const { return units_; }
    EventBus& events() { return events_; }

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
    PresetStore& presets() { return presets_; }

    // Tours.
    std::vector<Tour> Tours() { return tours_.All(); }
    std::optional<Tour> GetTour(const std::string& name) { return tours_.Get(name); }
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

private:
    using Clock = std::chrono::steady_clock;
    enum class Op { Absolute, Relative, Continuous, Stop, StopAxis, Home, StoreHome, Preset, StorePreset, Read };
    // A command, in head terms where they are known before the head is read.
    struct Request {
        explicit Request(Op o) : op(o) {}
        Request(Op o, std::optional<double> p, std::optional<double> t, Pace speed) : op(o), pan(p), tilt(t), pace(speed) {}
        Op op;
        std::optional<double> pan, tilt;  // degrees (Absolute), a distance (Relative), a velocity (Continuous)
        Pace pace;
        int preset = 0;
        Axis axis = Axis::Pan;            // StopAxis
        uint64_t tourRun = 0;             // a tour's step: the run it belongs to
        std::optional<Box> within;        // narrower limits in degrees
        uint64_t epoch = 0;               // stopEpoch_ when it came: a stop since drops it unsent
    };
    // What the head was asked and told, filled in on the worker.
    struct Executed {
        bool read = false;                // the position below was read
        int32_t panNow = 0, tiltNow = 0;
        bool sent = false;                // the moving (or stopping) call was sent
        bool dropped = false;             // a stop came after it: nothing more was sent
        uint64_t seq = 0;                 // its number among the moves sent (sent_)
        int32_t panTarget = 0, tiltTarget = 0;
        bool hasTarget = false, panClamped = false, tiltClamped = false;
        int panDirection = 0, tiltDirection = 0;  // continuous
        double seconds = 0;
    };
    // The move in hand.
    struct Active {
        uint64_t generation = 0;
        MoveKind kind = MoveKind::None;
        bool finished = true;
        bool stopped = false;
        std::string stopReason;
        bool hasTarget = false, panClamped = false, tiltClamped = false;
        int32_t panTarget = 0, tiltTarget = 0;
        int panDirection = 0, tiltDirection = 0;
        bool panAtLimit = false, tiltAtLimit = false;
        int preset = 0;
        bool tour = false;
        uint64_t seq = 0;  // its number among the moves sent
        Clock::time_point started{};
    };
    struct TourRun {
        uint64_t id = 0;  // 0: none
        Tour tour;
        motion::TourState state = motion::TourState::Idle;
        size_t step = 0;
        int round = 0;
        bool dwelling = false;
        std::chrono::milliseconds dwellLeft{0};
        uint64_t move = 0;  // the step's move
        bool sending = false;  // the step's move is on its way to the head
    };

    // Runs a command: waits its turn, checks it may still go (a tour's step
    // only while its run is current; anything else stops a tour), runs it on
    // the worker and records what it started.
    Result Issue(const Request& request);
    // Everything a command asks of the head, on the worker thread.
    int32_t Execute(const Request& request, int32_t link, Executed& done);
    // Whether a velocity's direction (its sign) runs up the axis's steps.
    bool StepsUp(Axis axis, int direction) const;
    // A pace's head speeds for pan and tilt (absent: the default speed).
    std::pair<int32_t, int32_t> PaceSpeeds(const Pace& pace) const;
    // The move's target and per-axis speeds, from where the head is.
    void Plan(const Request& request, int32_t panNow, int32_t tiltNow, Executed& done, int32_t& panSpeed,
              int32_t& tiltSpeed) const;
    Result Refused(Status status, std::string message) const;
    Result FromOutcome(const Outcome& outcome, const char* what) const;
    Event MakeEvent(EventType type) const;  // with the head's name and where it is
    void Publish(Event event) { events_.Publish(std::move(event)); }
    void Record(int32_t pan, int32_t tilt, Clock::time_point at);  // a position read; stateMutex_ held
    void FinishActive(const std::string& reason);  // stateMutex_ held
    void CancelTour(const std::string& reason);    // stateMutex_ held

    void PollLoop();
    void ReadIdentity();  // on the poller, once per link-up
    void LeaseLoop();
    void Poll();
    // Stops move `generation` (a lease that ran out, a tour paused), unless
    // a newer command came, its lease was renewed, or another move was sent
    // after it. Urgent: never waits behind other commands.
    void StopFor(uint64_t generation, const std::string& reason);
    void StopAxisFor(uint64_t generation, Axis axis);
    // A stop of everything: drops every command still unsent, stops the
    // head (urgent), ends a tour with `tourReason` ("" leaves it) and
    // records the stop with `reason`.
    Result StopNow(const std::string& reason, const std::string& tourReason);
    // Both axes' stop through the urgent lane; callers that come while one
    // is waiting for its turn share it.
    Outcome SendStop();
    // The stop of the one move numbered `seq` among those sent: sent only
    // when no other move went out after it.
    Outcome SendStopOf(uint64_t seq, std::optional<Axis> axis = std::nullopt);

    void TourLoop();
    Request StepRequest(const TourStep& step, uint64_t run) const;
    // Ends the tour (a client asked) and stops its move, also one still on
    // its way to the head.
    void EndTour(const std::string& reason);

    HeadWorker& head_;
    const Units units_;
    EventBus& events_;
    PresetStore presets_;
    TourStore tours_;

    // Commands go to the head one at a time, in the order they take this.
    std::timed_mutex commandMutex_;
    uint64_t generation_ = 0;  // the last command's number (commandMutex_ and stateMutex_)

    mutable std::mutex stateMutex_;
    std::condition_variable changed_;     // the state, the move or the tour changed
    mutable std::condition_variable pollerWake_;
    mutable Clock::time_point readUntil_{};  // State() was called lately: poll until then
    int watchers_ = 0;
    Snapshot snapshot_;
    Identity identity_;
    Clock::time_point identityTried_{};  // the last attempt that failed
    Active active_;
    bool leaseActive_ = false;
    uint64_t leaseGeneration_ = 0;
    Clock::time_point leaseDeadline_{};
    uint64_t stopOwed_ = 0;               // a lease stop that failed: retried while its move is current
    uint64_t axisStopOwed_[2] = {0, 0};   // an axis past its limit in a continuous move
    struct LearnedPreset {
        int preset;
        int32_t pan, tilt;
    };
    std::optional<LearnedPreset> learnOwed_;  // where a preset was reached, to keep
    Clock::time_point fastUntil_{};       // poll fast until then (after a command)
    Clock::time_point nextPoll_{};
    Clock::time_point statusRead_{};
    bool stopping_ = false;
    bool started_ = false;
    bool everUp_ = false;     // the link has been up once
    bool commanding_ = false; // a move of ours is being sent: motion seen now is its
    // Bumped by every stop of everything: a command that came before it and
    // is not sent yet is dropped.
    std::atomic<uint64_t> stopEpoch_{0};
    // The number of the last move sent; the worker thread alone counts them
    // (in Execute), so a stop made there knows exactly what went before it.
    uint64_t sent_ = 0;
    struct SharedStop {
        std::atomic<bool> started{false};
        std::promise<Outcome> done;
        std::shared_future<Outcome> result = done.get_future().share();
    };
    std::string lastStopReason_;  // the last stop of everything's (stateMutex_)
    struct ClientOrder {
        uint64_t stopSeq = 0;  // the highest stop numbered by the client
        uint64_t used = 0;     // when it was last heard of (orderUses_)
    };
    std::map<std::string, ClientOrder> clientOrder_;  // at most kMaxOrderedClients (stateMutex_)
    uint64_t orderUses_ = 0;
    std::mutex stopShare_;
    std::shared_ptr<SharedStop> pendingStop_;  // a stop waiting for its turn
    TourRun tour_;
    uint64_t tourRuns_ = 0;

    std::thread poller_;
    std::thread leaseKeeper_;              // ends leases that run out
    std::condition_variable leaseWake_;   // a lease was armed, or stop
    std::thread tourRunner_;
};

}  // namespace ptzd::motion
