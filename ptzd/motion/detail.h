// The machinery behind the motion service's face (motion.h): the command
// path, the poller, the lease keeper and the tour runner, and the state
// they share. Only the motion layer's own sources include this.
#pragma once

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "motion/motion.h"

namespace ptzd::motion::detail {

class Machine {
public:
    using Files = Motion::Files;
    using Identity = Motion::Identity;
    using Box = Motion::Box;
    static constexpr auto kReadWatch = Motion::kReadWatch;
    static constexpr size_t kMaxOrderedClients = Motion::kMaxOrderedClients;
    static constexpr auto kCommandWait = Motion::kCommandWait;

    Machine(HeadWorker& head, const MotionConfig& config, EventBus& events, Files files);
    ~Machine();

    // What the face offers, as it describes them.
    void Start();
    void StopAll();
    const std::string& name() const { return head_.name(); }
    const Units& units() const { return units_; }
    EventBus& events() { return events_; }
    Snapshot State() const;
    void Watch();
    void Unwatch();
    Identity HeadIdentity() const;
    Identity WaitIdentity(std::chrono::milliseconds within);
    Snapshot FirstReading(std::chrono::milliseconds within);
    Result SetInfrared(bool on);
    bool WaitFinished(uint64_t move, std::chrono::steady_clock::time_point deadline);
    Result Absolute(std::optional<double> pan, std::optional<double> tilt, const Pace& pace, std::optional<Box> within);
    Result AbsoluteAfter(uint64_t command, double pan, double tilt);
    uint64_t LastCommand() const;
    void StopMoveOf(uint64_t command, const std::string& reason) { StopFor(command, reason); }
    Result Relative(double pan, double tilt, const Pace& pace, std::optional<Box> within);
    Result Continuous(double panVelocity, double tiltVelocity, std::optional<std::chrono::milliseconds> timeout,
                      std::optional<Box> within);
    bool Renew(uint64_t lease, std::optional<std::chrono::milliseconds> timeout);
    Result Stop();
    bool InClientOrder(const std::string& client, uint64_t seq, bool stop);
    Result Home();
    Result StoreHome();
    Result GoPreset(int preset, const Pace& pace);
    Result StorePreset(int preset, const std::string& name);
    Result RenamePreset(int preset, const std::string& name);
    Result RemovePreset(int preset);
    PresetStore& presets() { return presets_; }
    std::vector<Tour> Tours() { return tours_.All(); }
    std::optional<Tour> GetTour(const std::string& name) { return tours_.Get(name); }
    Result PutTour(const Tour& tour);
    Result RemoveTour(const std::string& name);
    Result StartTour(const std::string& name);
    Result StopTour();
    Result PauseTour();
    Result ResumeTour();
    TourStatus CurrentTour() const;
    Result Estimate(std::optional<double> pan, std::optional<double> tilt, int preset, double speed);

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
        std::optional<uint64_t> after;    // sent only while this is still the last command
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

}  // namespace ptzd::motion::detail
