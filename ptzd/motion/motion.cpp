#include "motion/detail.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>

#include "ptz.h"

namespace ptzd::motion::detail {

namespace {

using Clock = std::chrono::steady_clock;

// A head may take this long to set off after a command; until then, a still
// reading away from the target does not end the move.
constexpr auto kSetOffGrace = std::chrono::milliseconds(300);
// Poll fast this long after a command, even before the head moves.
constexpr auto kFastAfterCommand = std::chrono::seconds(1);
// The status flags are read at least this often (while the position changes,
// a reading of the position alone shows the head moving).
constexpr auto kStatusEvery = std::chrono::seconds(1);
// While the link is down: how often to look whether it is back.
constexpr auto kDownCheck = std::chrono::milliseconds(200);
// A head that would not tell its system texts is asked again after this.
constexpr auto kIdentityRetry = std::chrono::seconds(30);
// A sanity bound only: a front end caps what its clients may ask for, and a
// group move's common duration is as long as its slowest head needs (one
// head alone takes that long at the same speed).
constexpr std::chrono::milliseconds kMaxDuration{24 * 3600 * 1000};

bool FiniteOrAbsent(const std::optional<double>& v) { return !v || std::isfinite(*v); }

// Whether a call that returned `result` may have set the head going: not
// when nothing was sent, nor when the head refused it outright.
bool MayHaveActed(int32_t result) {
    if (result == PTZ_OK) return true;
    if (result != PTZ_FAILED) return false;
    int32_t kind = 0, code = 0;
    PTZ_LinkLastError(&kind, &code);
    return !(kind == PTZ_ERRKIND_RESPONSE && code == PTZ_ERR_RESP_STATUS);
}

std::string CheckPace(const Pace& pace) {
    for (const auto& speed : {pace.speed, pace.tiltSpeed})
        if (speed && !(*speed >= 0 && *speed <= 1)) return "the speed must be between 0 and 1";
    if (pace.duration && (pace.duration->count() <= 0 || *pace.duration > kMaxDuration))
        return "the duration must be above 0 and at most " + std::to_string(kMaxDuration.count() / 1000) + " s";
    return "";
}

std::string CheckBox(const std::optional<Machine::Box>& within) {
    if (!within) return "";
    for (const Range& r : {within->pan, within->tilt})
        if (!std::isfinite(r.min) || !std::isfinite(r.max) || r.min > r.max) return "limits must be numbers, the lower first";
    return "";
}

}  // namespace

Machine::Machine(HeadWorker& head, const MotionConfig& config, EventBus& events, Files files)
    : head_(head), units_(config), events_(events), presets_(std::move(files.presets)),
      tours_(std::move(files.tours), [this](const Tour& tour) { return CheckTour(tour, units_); }) {}

Machine::~Machine() { StopAll(); }

void Machine::Start() {
    std::lock_guard lock(stateMutex_);
    if (started_ || stopping_) return;
    started_ = true;
    poller_ = std::thread([this] { PollLoop(); });
    leaseKeeper_ = std::thread([this] { LeaseLoop(); });
    tourRunner_ = std::thread([this] { TourLoop(); });
}

void Machine::StopAll() {
    bool stopHead = false;
    {
        std::lock_guard lock(stateMutex_);
        if (!stopping_) {
            stopping_ = true;
            // A command being sent now may still set the head going: it is
            // dropped if it has not, and this stop goes after it if it has.
            stopEpoch_.fetch_add(1);
            stopHead = commanding_ || leaseActive_ || tour_.state != TourState::Idle ||
                       (!active_.finished && active_.kind != MoveKind::External);
            CancelTour("the gateway stops");
            leaseActive_ = false;
        }
    }
    changed_.notify_all();
    pollerWake_.notify_all();
    leaseWake_.notify_all();
    // What this layer set going stops with it, right after the exchange in
    // flight.
    if (stopHead && head_.Up()) SendStop();
    if (leaseKeeper_.joinable()) leaseKeeper_.join();
    if (poller_.joinable()) poller_.join();
    if (tourRunner_.joinable()) tourRunner_.join();
}

Snapshot Machine::State() const {
    std::lock_guard lock(stateMutex_);
    const auto now = Clock::now();
    if (readUntil_ < now && watchers_ == 0) pollerWake_.notify_all();  // it may be resting
    readUntil_ = now + kReadWatch;
    Snapshot s = snapshot_;
    // A move in hand counts as moving from the moment it is sent (the poller
    // may not have seen the head start yet) until it has finished.
    s.moving = s.moving || (!active_.finished && active_.kind != MoveKind::External && active_.kind != MoveKind::None);
    // The link as it is now, even when the poller has been resting.
    s.linkUp = head_.Up();
    if (!s.linkUp) s.known = false;
    return s;
}

Machine::Identity Machine::HeadIdentity() const {
    std::lock_guard lock(stateMutex_);
    const auto now = Clock::now();
    if (!identity_.known && readUntil_ < now && watchers_ == 0) pollerWake_.notify_all();
    if (!identity_.known) readUntil_ = std::max(readUntil_, now + kReadWatch);
    return identity_;
}

void Machine::Watch() {
    std::lock_guard lock(stateMutex_);
    ++watchers_;
    pollerWake_.notify_all();
}

void Machine::Unwatch() {
    std::lock_guard lock(stateMutex_);
    if (watchers_ > 0) --watchers_;
}

bool Machine::WaitFinished(uint64_t move, Clock::time_point deadline) {
    std::unique_lock lock(stateMutex_);
    changed_.wait_until(lock, deadline, [&] { return stopping_ || active_.generation != move || active_.finished; });
    return active_.generation == move && active_.finished;
}

Result Machine::Refused(Status status, std::string message) const {
    Result r;
    r.status = status;
    r.message = std::move(message);
    return r;
}

Result Machine::FromOutcome(const Outcome& o, const char* what) const {
    if (o.result == PTZ_OK) return {};
    Result r;
    r.outcome = o;
    if (o.result == kLinkDown) return Refused(Status::LinkDown, std::string(what) + ": the head is not connected");
    if (o.result == kBusy) return Refused(Status::Busy, std::string(what) + ": too many calls wait for the head");
    r.status = o.result == PTZ_BAD_PARAM ? Status::BadArgument : Status::HeadFailed;
    char text[320];
    PTZ_GetErrorText(o.kind, o.code, text, sizeof text);
    r.message = std::string(what) + ": " + (o.result == PTZ_BAD_PARAM ? "a value is outside the head's range" : text);
    return r;
}

Event Machine::MakeEvent(EventType type) const {
    Event e;
    e.type = type;
    e.head = name();
    e.pan = snapshot_.pan;
    e.tilt = snapshot_.tilt;
    return e;
}

// ---- commands ---------------------------------------------------------------------

Result Machine::Absolute(std::optional<double> pan, std::optional<double> tilt, const Pace& pace, std::optional<Box> within) {
    if (!FiniteOrAbsent(pan) || !FiniteOrAbsent(tilt)) return Refused(Status::BadArgument, "positions must be numbers");
    if (const std::string why = CheckPace(pace); !why.empty()) return Refused(Status::BadArgument, why);
    if (const std::string why = CheckBox(within); !why.empty()) return Refused(Status::BadArgument, why);
    Request request(Op::Absolute, pan, tilt, pace);
    request.within = within;
    return Issue(request);
}

Result Machine::AbsoluteAfter(uint64_t command, double pan, double tilt) {
    if (!std::isfinite(pan) || !std::isfinite(tilt)) return Refused(Status::BadArgument, "positions must be numbers");
    Request request(Op::Absolute, pan, tilt, {});
    request.after = command;
    return Issue(request);
}

uint64_t Machine::LastCommand() const {
    std::lock_guard lock(stateMutex_);
    return generation_;
}

Result Machine::Relative(double pan, double tilt, const Pace& pace, std::optional<Box> within) {
    if (!std::isfinite(pan) || !std::isfinite(tilt)) return Refused(Status::BadArgument, "distances must be numbers");
    if (const std::string why = CheckPace(pace); !why.empty()) return Refused(Status::BadArgument, why);
    if (const std::string why = CheckBox(within); !why.empty()) return Refused(Status::BadArgument, why);
    Request request(Op::Relative, pan, tilt, pace);
    request.within = within;
    return Issue(request);
}

Result Machine::Continuous(double panVelocity, double tiltVelocity, std::optional<std::chrono::milliseconds> timeout,
                          std::optional<Box> within) {
    if (!(panVelocity >= -1 && panVelocity <= 1 && tiltVelocity >= -1 && tiltVelocity <= 1))
        return Refused(Status::BadArgument, "velocities must be between -1 and 1");
    const auto lease = timeout.value_or(units_.config().continuousTimeout);
    if (lease.count() <= 0 || lease > kMaxLease)
        return Refused(Status::BadArgument, "the time-out must be above 0 and at most " +
                                                std::to_string(kMaxLease.count() / 1000) + " s");
    if (const std::string why = CheckBox(within); !why.empty()) return Refused(Status::BadArgument, why);
    if (panVelocity == 0 && tiltVelocity == 0) return Stop();
    Request request(Op::Continuous, panVelocity, tiltVelocity, {.speed = std::nullopt, .duration = lease, .tiltSpeed = std::nullopt});
    request.within = within;
    return Issue(request);
}

bool Machine::Renew(uint64_t lease, std::optional<std::chrono::milliseconds> timeout) {
    const auto t = timeout.value_or(units_.config().continuousTimeout);
    if (t.count() <= 0 || t > kMaxLease) return false;
    std::lock_guard lock(stateMutex_);
    if (!leaseActive_ || leaseGeneration_ != lease || generation_ != lease) return false;
    // Run out already (its stop may be on its way): too late to renew.
    const auto now = Clock::now();
    if (now >= leaseDeadline_) return false;
    // A shorter lease than the one it replaces: the keeper waits for the
    // old end, so it is woken to wait for the new one.
    const bool sooner = now + t < leaseDeadline_;
    leaseDeadline_ = now + t;
    if (sooner) leaseWake_.notify_all();
    return true;
}

Result Machine::Stop() { return StopNow("stopped", "stopped"); }

bool Machine::InClientOrder(const std::string& client, uint64_t seq, bool stop) {
    std::lock_guard lock(stateMutex_);
    auto it = clientOrder_.find(client);
    if (it == clientOrder_.end()) {
        if (clientOrder_.size() >= kMaxOrderedClients)  // the one heard of longest ago goes
            clientOrder_.erase(std::min_element(clientOrder_.begin(), clientOrder_.end(), [](const auto& a, const auto& b) {
                return a.second.used < b.second.used;
            }));
        it = clientOrder_.emplace(client, ClientOrder{}).first;
    }
    it->second.used = ++orderUses_;
    if (stop) {
        it->second.stopSeq = std::max(it->second.stopSeq, seq);
        return true;
    }
    return seq > it->second.stopSeq;
}

Result Machine::StopNow(const std::string& reason, const std::string& tourReason) {
    {
        std::lock_guard lock(stateMutex_);
        if (stopping_) return Refused(Status::LinkDown, "stop: the gateway stops");
        stopEpoch_.fetch_add(1);
        lastStopReason_ = reason;
        if (!tourReason.empty()) CancelTour(tourReason);
    }
    changed_.notify_all();
    const Outcome outcome = SendStop();
    Result result = FromOutcome(outcome, "stop");
    {
        std::lock_guard lock(stateMutex_);
        const auto now = Clock::now();
        if (outcome.result == PTZ_OK || outcome.result == PTZ_FAILED) {  // sent
            ++generation_;  // a lease or tour step armed before this is void now
            leaseActive_ = false;
            stopOwed_ = 0;
            if (!active_.finished && !active_.stopped) {
                active_.stopped = true;
                active_.stopReason = reason;
            }
            result.move = generation_;
            fastUntil_ = now + kFastAfterCommand;
            nextPoll_ = std::min(nextPoll_, now + std::chrono::milliseconds(static_cast<int>(1000 / units_.config().pollMovingHz)));
        }
        result.pan = snapshot_.pan;
        result.tilt = snapshot_.tilt;
    }
    changed_.notify_all();
    pollerWake_.notify_all();
    return result;
}

Outcome Machine::SendStop() {
    std::shared_ptr<SharedStop> stop;
    bool mine = false;
    {
        std::lock_guard lock(stopShare_);
        if (pendingStop_ && !pendingStop_->started) {
            stop = pendingStop_;
        } else {
            stop = std::make_shared<SharedStop>();
            pendingStop_ = stop;
            mine = true;
        }
    }
    if (!mine) return stop->result.get();  // bounded: its maker's call is
    Executed done;
    const Outcome outcome = head_.Call(
        [&](int32_t link) {
            stop->started = true;
            return Execute(Request(Op::Stop), link, done);
        },
        HeadWorker::Lane::Urgent, "stop");
    {
        std::lock_guard lock(stopShare_);
        stop->started = true;
        if (pendingStop_ == stop) pendingStop_.reset();
    }
    stop->done.set_value(outcome);
    return outcome;
}

Outcome Machine::SendStopOf(uint64_t seq, std::optional<Axis> axis) {
    Executed done;
    Request r(axis ? Op::StopAxis : Op::Stop);
    if (axis) r.axis = *axis;
    bool skipped = false;
    Outcome outcome = head_.Call(
        [&](int32_t link) {
            // Another move went out after that one: this stop is not its to make.
            // (PTZ_BAD_PARAM: nothing was exchanged, nothing to count.)
            if (sent_ != seq) return skipped = true, PTZ_BAD_PARAM;
            return Execute(r, link, done);
        },
        HeadWorker::Lane::Urgent, "stop");
    if (skipped) outcome = {};
    return outcome;
}

Result Machine::Home() { return Issue(Request(Op::Home)); }

Result Machine::StoreHome() { return Issue(Request(Op::StoreHome)); }

Result Machine::GoPreset(int preset, const Pace& pace) {
    if (preset < 1 || preset > kPresets) return Refused(Status::BadArgument, "presets are 1 to 16");
    if (const std::string why = CheckPace(pace); !why.empty()) return Refused(Status::BadArgument, why);
    Request r(Op::Preset, std::nullopt, std::nullopt, pace);
    r.preset = preset;
    return Issue(r);
}

Result Machine::StorePreset(int preset, const std::string& name) {
    if (preset < 1 || preset > kPresets) return Refused(Status::BadArgument, "presets are 1 to 16");
    const std::string label = name.empty() ? "Preset " + std::to_string(preset) : name;
    if (const std::string why = PresetStore::CheckName(label); !why.empty()) return Refused(Status::BadArgument, why);
    Request request(Op::StorePreset);
    request.preset = preset;
    Result r = Issue(request);
    if (!r.ok()) return r;
    // The position it was stored at: read in the same turn on the head.
    const Snapshot s = State();
    if (const std::string why = presets_.Set(preset, label, s.panSteps, s.tiltSteps); !why.empty())
        return Refused(Status::StateFailed, "the preset is stored, but its name was not saved: " + why);
    return r;
}

Result Machine::RenamePreset(int preset, const std::string& name) {
    if (preset < 1 || preset > kPresets) return Refused(Status::BadArgument, "presets are 1 to 16");
    if (const std::string why = PresetStore::CheckName(name); !why.empty()) return Refused(Status::BadArgument, why);
    const PresetInfo p = presets_.Get(preset);
    if (p.name.empty()) return Refused(Status::NotFound, "preset " + std::to_string(preset) + " is not stored");
    if (const std::string why = presets_.Set(preset, name, p.pan, p.tilt); !why.empty())
        return Refused(Status::StateFailed, why);
    return {};
}

Result Machine::RemovePreset(int preset) {
    if (preset < 1 || preset > kPresets) return Refused(Status::BadArgument, "presets are 1 to 16");
    if (presets_.Get(preset).name.empty()) return Refused(Status::NotFound, "preset " + std::to_string(preset) + " is not stored");
    if (const std::string why = presets_.Remove(preset); !why.empty()) return Refused(Status::StateFailed, why);
    return {};
}

Result Machine::Estimate(std::optional<double> pan, std::optional<double> tilt, int preset, double speed) {
    if (!FiniteOrAbsent(pan) || !FiniteOrAbsent(tilt)) return Refused(Status::BadArgument, "positions must be numbers");
    Result r = Issue(Request(Op::Read));
    if (!r.ok()) return r;
    const Snapshot s = State();
    int32_t p = s.panSteps, t = s.tiltSteps;
    if (preset != 0) {
        const PresetInfo info = presets_.Get(preset);
        if (info.pan && info.tilt) p = *info.pan, t = *info.tilt;
    } else {
        if (pan) p = units_.Clamp(Axis::Pan, units_.Steps(Axis::Pan, *pan));
        if (tilt) t = units_.Clamp(Axis::Tilt, units_.Steps(Axis::Tilt, *tilt));
    }
    const int32_t sp = units_.Speed(speed);
    r.pan = units_.Degrees(Axis::Pan, p);
    r.tilt = units_.Degrees(Axis::Tilt, t);
    r.seconds = std::max(units_.TravelSeconds(int64_t{p} - s.panSteps, sp), units_.TravelSeconds(int64_t{t} - s.tiltSteps, sp));
    return r;
}

// ---- the one place where moves become library calls -----------------------------------

bool Machine::StepsUp(Axis axis, int direction) const {
    const MotionConfig& c = units_.config();
    return (direction > 0) == ((axis == Axis::Pan ? c.pan : c.tilt).degreesPerStep > 0);
}

std::pair<int32_t, int32_t> Machine::PaceSpeeds(const Pace& pace) const {
    const double pan = pace.speed.value_or(units_.config().defaultSpeed);
    return {units_.Speed(pan), units_.Speed(pace.tiltSpeed.value_or(pan))};
}

void Machine::Plan(const Request& r, int32_t panNow, int32_t tiltNow, Executed& done, int32_t& panSpeed,
                  int32_t& tiltSpeed) const {
    // Where each axis is asked to go, before the limits; an axis the move
    // leaves alone stays (and is not clamped).
    // A front end's narrower limits, in steps.
    auto inBox = [&](Axis axis, int64_t steps) -> int64_t {
        if (!r.within) return steps;
        const Range& box = axis == Axis::Pan ? r.within->pan : r.within->tilt;
        const int64_t a = units_.Steps(axis, box.min), b = units_.Steps(axis, box.max);
        return std::clamp(steps, std::min(a, b), std::max(a, b));
    };
    auto target = [&](Axis axis, const std::optional<double>& value, int32_t now, int& direction) -> std::optional<int64_t> {
        if (!value) return std::nullopt;
        switch (r.op) {
            case Op::Absolute: return inBox(axis, units_.Steps(axis, *value));
            case Op::Relative:
                if (*value == 0) return std::nullopt;
                return inBox(axis, units_.Steps(axis, units_.Degrees(axis, now) + *value));
            default: {  // continuous: to the limit in the velocity's direction (in degrees)
                if (*value == 0) return std::nullopt;
                direction = *value > 0 ? 1 : -1;
                const bool up = StepsUp(axis, direction);
                int64_t limit = up ? units_.Limits(axis).max : units_.Limits(axis).min;
                if (r.within) {
                    const Range& box = axis == Axis::Pan ? r.within->pan : r.within->tilt;
                    limit = units_.Steps(axis, direction > 0 ? box.max : box.min);
                }
                // Already at or past it: this axis stays (never turned back).
                if (up ? limit <= now : limit >= now) return std::nullopt;
                return limit;
            }
        }
    };
    const std::optional<int64_t> p = target(Axis::Pan, r.pan, panNow, done.panDirection);
    const std::optional<int64_t> t = target(Axis::Tilt, r.tilt, tiltNow, done.tiltDirection);
    done.panTarget = p ? units_.Clamp(Axis::Pan, *p) : panNow;
    done.tiltTarget = t ? units_.Clamp(Axis::Tilt, *t) : tiltNow;
    done.panClamped = p && *p != done.panTarget;
    done.tiltClamped = t && *t != done.tiltTarget;
    done.hasTarget = true;
    const int64_t dp = int64_t{done.panTarget} - panNow, dt = int64_t{done.tiltTarget} - tiltNow;
    if (r.op == Op::Continuous) {
        const int32_t sp = units_.Speed(std::fabs(r.pan.value_or(0))), st = units_.Speed(std::fabs(r.tilt.value_or(0)));
        panSpeed = r.pan.value_or(0) != 0 ? sp : st;
        tiltSpeed = r.tilt.value_or(0) != 0 ? st : sp;
        done.seconds = 0;
    } else if (r.pace.duration) {
        const Units::Speeds s = units_.SpeedsFor(dp, dt, std::chrono::duration<double>(*r.pace.duration).count());
        panSpeed = s.pan;
        tiltSpeed = s.tilt;
        done.seconds = s.seconds;
    } else {
        std::tie(panSpeed, tiltSpeed) = PaceSpeeds(r.pace);
        done.seconds = std::max(units_.TravelSeconds(dp, panSpeed), units_.TravelSeconds(dt, tiltSpeed));
    }
}

int32_t Machine::Execute(const Request& r, int32_t link, Executed& done) {
    const MotionConfig& c = units_.config();
    auto read = [&] {
        const int32_t result = PTZ_LinkGetPTPos(link, &done.panNow, &done.tiltNow);
        done.read = result == PTZ_OK;
        return result;
    };
    auto speeds = [&](int32_t pan, int32_t tilt) {
        const int32_t result = PTZ_LinkSetMotorSpeed(link, c.panMotor, pan);
        return result != PTZ_OK ? result : PTZ_LinkSetMotorSpeed(link, c.tiltMotor, tilt);
    };
    // A stop came after this command: nothing more of it goes out.
    auto dropped = [&] { return done.dropped = r.epoch != stopEpoch_.load(); };
    // The call that sets the head going, unless a stop came first, and
    // whether it may have.
    auto act = [&](auto call) -> int32_t {
        if (dropped()) return PTZ_OK;
        const int32_t result = call();
        done.sent = MayHaveActed(result);
        if (done.sent) done.seq = ++sent_;
        return result;
    };
    const bool moves = r.op == Op::Absolute || r.op == Op::Relative || r.op == Op::Continuous || r.op == Op::Home ||
                       r.op == Op::Preset;
    if (moves && dropped()) return PTZ_BAD_PARAM;  // nothing was exchanged, nothing to count
    switch (r.op) {
        case Op::Read:
            return read();
        case Op::Stop: {
            const int32_t pan = PTZ_LinkStopMotor(link, c.panMotor);
            const int32_t tilt = PTZ_LinkStopMotor(link, c.tiltMotor);  // even when pan's stop failed
            done.sent = true;
            return pan != PTZ_OK ? pan : tilt;
        }
        case Op::StopAxis:
            done.sent = true;
            return PTZ_LinkStopMotor(link, r.axis == Axis::Pan ? c.panMotor : c.tiltMotor);
        case Op::StoreHome:
            return PTZ_LinkSetUserHP(link, c.presetFlag);
        case Op::StorePreset: {
            const int32_t result = PTZ_LinkSetPresetPos(link, r.preset, c.presetFlag);
            if (result == PTZ_OK) read();  // where it was stored; a failed read leaves it unknown
            return result;
        }
        case Op::Home:
        case Op::Preset: {
            // The head's own positions: not clamped. A known preset position
            // lets a duration pick per-axis speeds.
            auto [panSpeed, tiltSpeed] = PaceSpeeds(r.pace);
            const PresetInfo preset = r.op == Op::Preset ? presets_.Get(r.preset) : PresetInfo{};
            if (preset.pan && preset.tilt) {
                done.hasTarget = true;
                done.panTarget = *preset.pan;
                done.tiltTarget = *preset.tilt;
                if (const int32_t result = read(); result != PTZ_OK) return result;
                const int64_t dp = int64_t{*preset.pan} - done.panNow, dt = int64_t{*preset.tilt} - done.tiltNow;
                if (r.pace.duration) {
                    const Units::Speeds s = units_.SpeedsFor(dp, dt, std::chrono::duration<double>(*r.pace.duration).count());
                    panSpeed = s.pan;
                    tiltSpeed = s.tilt;
                }
                done.seconds = std::max(units_.TravelSeconds(dp, panSpeed), units_.TravelSeconds(dt, tiltSpeed));
            }
            if (const int32_t result = speeds(panSpeed, tiltSpeed); result != PTZ_OK) return result;
            return act([&] { return r.op == Op::Preset ? PTZ_LinkMovePresetPos(link, r.preset) : PTZ_LinkMoveUserHP(link); });
        }
        case Op::Absolute:
        case Op::Relative:
        case Op::Continuous: {
            if (const int32_t result = read(); result != PTZ_OK) return result;
            int32_t panSpeed = 0, tiltSpeed = 0;
            Plan(r, done.panNow, done.tiltNow, done, panSpeed, tiltSpeed);
            if (const int32_t result = speeds(panSpeed, tiltSpeed); result != PTZ_OK) return result;
            return act([&] { return PTZ_LinkSetPTPos(link, c.moveParam, done.panTarget, done.tiltTarget); });
        }
    }
    return PTZ_BAD_PARAM;
}

Result Machine::Issue(const Request& request) {
    static const char* const names[] = {"absolute move", "relative move", "continuous move", "stop", "stop",
                                        "home", "store home", "preset", "store preset", "read"};
    const char* what = names[static_cast<int>(request.op)];
    const bool moves = request.op != Op::Read && request.op != Op::StorePreset && request.op != Op::StoreHome;
    // A stop that comes from now on drops this command while it is unsent.
    Request r = request;
    r.epoch = stopEpoch_.load();
    std::unique_lock command(commandMutex_, std::defer_lock);
    if (!command.try_lock_for(kCommandWait)) return Refused(Status::Busy, std::string(what) + ": too many commands wait for this head");
    {
        std::lock_guard lock(stateMutex_);
        if (stopping_) return Refused(Status::LinkDown, std::string(what) + ": the gateway stops");
        if (moves && r.epoch != stopEpoch_.load())
            return Refused(Status::Superseded, std::string(what) + ": a stop came after it; nothing was sent");
        // Commands wait for commandMutex_, held here: none comes between
        // this and the move (a stop, which does not wait, drops it unsent).
        if (r.after && *r.after != generation_)
            return Refused(Status::Superseded, std::string(what) + ": another command came first; nothing was sent");
        if (r.tourRun != 0) {
            if (tour_.id != r.tourRun || tour_.state != TourState::Running)
                return Refused(Status::Superseded, "the tour was stopped or paused");
        } else if (moves && tour_.state != TourState::Idle) {
            CancelTour("manual move");
        }
        commanding_ = moves;
    }
    changed_.notify_all();
    Executed done;
    const Outcome outcome = head_.Call([&](int32_t link) { return Execute(r, link, done); }, HeadWorker::Lane::Normal, what);
    Result result = done.dropped ? Refused(Status::Superseded, std::string(what) + ": a stop came after it; nothing was sent")
                                 : FromOutcome(outcome, what);
    {
        std::lock_guard lock(stateMutex_);
        const auto now = Clock::now();
        commanding_ = false;
        if (done.read) Record(done.panNow, done.tiltNow, now);
        if (done.sent && moves) {
            if (!active_.finished) FinishActive("superseded");
            ++generation_;
            const MoveKind kind = r.op == Op::Absolute     ? MoveKind::Absolute
                                  : r.op == Op::Relative   ? MoveKind::Relative
                                  : r.op == Op::Continuous ? MoveKind::Continuous
                                  : r.op == Op::Preset     ? MoveKind::Preset
                                                           : MoveKind::Home;
            // A stop that came while this was being sent goes to the head
            // after it: the move is as good as stopped, and holds no lease.
            const bool stoppedSince = r.epoch != stopEpoch_.load();
            active_ = Active{.generation = generation_, .kind = kind, .finished = false, .stopped = stoppedSince,
                             .stopReason = stoppedSince ? lastStopReason_ : std::string(),
                             .hasTarget = done.hasTarget, .panClamped = done.panClamped, .tiltClamped = done.tiltClamped,
                             .panTarget = done.panTarget, .tiltTarget = done.tiltTarget,
                             .panDirection = done.panDirection, .tiltDirection = done.tiltDirection,
                             .panAtLimit = false, .tiltAtLimit = false, .preset = r.preset, .tour = r.tourRun != 0,
                             .seq = done.seq, .started = now};
            snapshot_.move = kind;
            snapshot_.generation = generation_;
            snapshot_.preset = r.preset;
            leaseActive_ = kind == MoveKind::Continuous && !stoppedSince;
            if (leaseActive_) {
                leaseGeneration_ = generation_;
                leaseDeadline_ = now + *r.pace.duration;
                leaseWake_.notify_all();
            }
            stopOwed_ = 0;
            Event e = MakeEvent(EventType::MoveStarted);
            e.move = MoveName(kind);
            e.generation = generation_;
            e.preset = r.preset;
            e.fromPreset = std::exchange(snapshot_.atPreset, 0);
            if (done.hasTarget) {
                e.pan = units_.Degrees(Axis::Pan, done.panTarget);
                e.tilt = units_.Degrees(Axis::Tilt, done.tiltTarget);
            }
            Publish(std::move(e));
            result.move = generation_;
        }
        if (done.sent) {
            fastUntil_ = now + kFastAfterCommand;
            nextPoll_ = std::min(nextPoll_, now + std::chrono::milliseconds(static_cast<int>(1000 / units_.config().pollMovingHz)));
        }
        if (done.hasTarget) {
            result.pan = units_.Degrees(Axis::Pan, done.panTarget);
            result.tilt = units_.Degrees(Axis::Tilt, done.tiltTarget);
        } else {
            result.pan = snapshot_.pan;
            result.tilt = snapshot_.tilt;
        }
        result.panClamped = done.panClamped;
        result.tiltClamped = done.tiltClamped;
        result.seconds = done.seconds;
    }
    changed_.notify_all();
    pollerWake_.notify_all();
    return result;
}

void Machine::Record(int32_t pan, int32_t tilt, Clock::time_point at) {
    snapshot_.panSteps = pan;
    snapshot_.tiltSteps = tilt;
    snapshot_.pan = units_.Degrees(Axis::Pan, pan);
    snapshot_.tilt = units_.Degrees(Axis::Tilt, tilt);
    snapshot_.known = true;
    snapshot_.read = at;
}

void Machine::FinishActive(const std::string& reason) {
    active_.finished = true;
    Event e = MakeEvent(EventType::MoveFinished);
    e.move = MoveName(active_.kind);
    e.generation = active_.generation;
    e.reason = reason;
    e.preset = active_.preset;
    Publish(e);
    const bool arrived = reason == "arrived" && active_.hasTarget && snapshot_.panSteps == active_.panTarget &&
                         snapshot_.tiltSteps == active_.tiltTarget;
    // A preset move that ended by itself is there (where this gateway last
    // saw the preset may be out of date: the head's word counts).
    if (active_.kind == MoveKind::Preset && reason == "arrived") {
        Event p = MakeEvent(EventType::PresetReached);
        p.preset = active_.preset;
        Publish(p);
        snapshot_.atPreset = active_.preset;
        learnOwed_ = {active_.preset, snapshot_.panSteps, snapshot_.tiltSteps};
    }
    // A move cut short by the limits says so when it gets there.
    if (arrived && (active_.panClamped || active_.tiltClamped)) {
        for (Axis axis : {Axis::Pan, Axis::Tilt}) {
            if (!(axis == Axis::Pan ? active_.panClamped : active_.tiltClamped)) continue;
            const int32_t at = axis == Axis::Pan ? snapshot_.panSteps : snapshot_.tiltSteps;
            Event l = MakeEvent(EventType::LimitReached);
            l.axis = AxisName(axis);
            l.side = units_.Degrees(axis, at) >= (units_.LimitDegrees(axis).min + units_.LimitDegrees(axis).max) / 2 ? "max" : "min";
            Publish(l);
        }
    }
    changed_.notify_all();
}

// ---- the poller --------------------------------------------------------------------------

void Machine::LeaseLoop() {
    // Apart from the poller, whose reading may wait behind other callers
    // for the head: a lease's end is never late for that.
    std::unique_lock lock(stateMutex_);
    while (!stopping_) {
        if (!leaseActive_) {
            leaseWake_.wait(lock);
        } else if (Clock::now() < leaseDeadline_) {
            leaseWake_.wait_until(lock, leaseDeadline_);
        } else {
            const uint64_t generation = leaseGeneration_;
            lock.unlock();
            StopFor(generation, "lease expired");  // ends the lease, or finds it renewed
            lock.lock();
        }
    }
}

void Machine::PollLoop() {
    std::unique_lock lock(stateMutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        if (now < nextPoll_) {
            if (nextPoll_ == Clock::time_point::max() && !leaseActive_) {
                // Resting: nobody wants the state. A reader, a watcher or a command wakes it.
                pollerWake_.wait(lock);
                if (nextPoll_ == Clock::time_point::max() && (watchers_ > 0 || Clock::now() < readUntil_))
                    nextPoll_ = Clock::now();
            } else {
                pollerWake_.wait_until(lock, nextPoll_);
            }
            continue;
        }
        lock.unlock();
        const auto start = Clock::now();
        Poll();
        lock.lock();
        // Stops owed: an axis past its limit, a lease stop that failed.
        for (int i = 0; i < 2 && !stopping_; ++i) {
            if (const uint64_t generation = std::exchange(axisStopOwed_[i], 0); generation != 0) {
                lock.unlock();
                StopAxisFor(generation, i == 0 ? Axis::Pan : Axis::Tilt);
                lock.lock();
            }
        }
        if (stopOwed_ != 0 && snapshot_.linkUp && !stopping_) {
            const uint64_t generation = stopOwed_;
            lock.unlock();
            StopFor(generation, "lease expired");
            lock.lock();
        }
        const bool fast = snapshot_.moving || !active_.finished || leaseActive_ || Clock::now() < fastUntil_;
        const double hz = fast ? units_.config().pollMovingHz : units_.config().pollIdleHz;
        const auto interval = snapshot_.linkUp ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz))
                                               : std::chrono::duration_cast<Clock::duration>(kDownCheck);
        // Paced from the start of this reading; a command may ask for one
        // sooner. Nobody wanting the state (and the head still, the link
        // up): rest.
        const bool wanted = fast || !snapshot_.linkUp || stopOwed_ != 0 || watchers_ > 0 || Clock::now() < readUntil_;
        nextPoll_ = wanted ? std::max(start + interval, Clock::now() + std::chrono::milliseconds(1)) : Clock::time_point::max();
    }
}

void Machine::Poll() {
    const bool up = head_.Up();
    int32_t lastPan = 0, lastTilt = 0;
    bool known = false, statusDue = false, wanted = false;
    {
        std::lock_guard lock(stateMutex_);
        const auto now = Clock::now();
        const bool watched = watchers_ > 0 || now < readUntil_;
        if (up != snapshot_.linkUp) {
            snapshot_.linkUp = up;
            identity_ = {};  // another head may answer once the link is back
            identityTried_ = {};
            if (!up) snapshot_.known = false;
            else if (watched) fastUntil_ = now + kFastAfterCommand;
            // The first opening is no restoring.
            if (!up || everUp_) Publish(MakeEvent(up ? EventType::LinkRestored : EventType::LinkLost));
            everUp_ = everUp_ || up;
        }
        lastPan = snapshot_.panSteps;
        lastTilt = snapshot_.tiltSteps;
        known = snapshot_.known;
        statusDue = !snapshot_.flagsKnown || Clock::now() - statusRead_ >= kStatusEvery;
        // The head is read only for someone: a reader, a watcher, a move in hand.
        wanted = watched || !active_.finished || leaseActive_ || stopOwed_ != 0 || now < fastUntil_;
    }
    if (!up || !wanted) return;
    struct {
        bool position = false, status = false;
        int32_t pan = 0, tilt = 0;
        PTZ_STATUS flags{};
    } reading;
    head_.Call([&](int32_t link) {
        int32_t result = PTZ_LinkGetPTPos(link, &reading.pan, &reading.tilt);
        if (result != PTZ_OK) return result;
        reading.position = true;
        // A position that changed shows the head moving; the status byte is
        // read when it did not (has it stopped?) and now and then for the flags.
        if (known && !statusDue && (reading.pan != lastPan || reading.tilt != lastTilt)) return result;
        result = PTZ_LinkGetPTZStatus(link, &reading.flags);
        reading.status = result == PTZ_OK;
        return result;
    });
    if (!reading.position) return;
    ReadIdentity();
    std::optional<LearnedPreset> learn;
    {
        std::lock_guard lock(stateMutex_);
        const auto now = Clock::now();
        const bool changed = snapshot_.known && (reading.pan != snapshot_.panSteps || reading.tilt != snapshot_.tiltSteps);
        Record(reading.pan, reading.tilt, now);
        ++snapshot_.readings;
        if (reading.status) {
            const PTZ_STATUS& f = reading.flags;
            const int32_t read[4] = {f.flag0, f.flag1, f.flag2, f.flag3};
            if (!snapshot_.flagsKnown || !std::equal(read, read + 4, snapshot_.flags)) {
                Event e = MakeEvent(EventType::FlagsChanged);
                std::copy(read, read + 4, e.flags.begin());
                for (unsigned k = 0; k < 4; ++k)
                    if (!snapshot_.flagsKnown || snapshot_.flags[k] != read[k]) e.changedFlags |= 1u << k;
                std::copy(read, read + 4, snapshot_.flags);
                Publish(e);
            }
            snapshot_.flagsKnown = true;
            statusRead_ = now;
        }
        // Status byte 1 is 0x01 while an axis moves (its flag reads 0 then).
        const bool moving = changed || (reading.status && reading.flags.flag1 == 0);

        // A continuous move at its limits: said once per axis; an axis past
        // its limit (a head that overshoots) is stopped.
        if (!active_.finished && active_.kind == MoveKind::Continuous) {
            for (Axis axis : {Axis::Pan, Axis::Tilt}) {
                const bool pan = axis == Axis::Pan;
                const int direction = pan ? active_.panDirection : active_.tiltDirection;
                if (direction == 0) continue;
                const int32_t at = pan ? reading.pan : reading.tilt;
                const int32_t limit = pan ? active_.panTarget : active_.tiltTarget;
                const bool upwards = StepsUp(axis, direction);
                const bool reached = upwards ? at >= limit : at <= limit;
                bool& said = pan ? active_.panAtLimit : active_.tiltAtLimit;
                if (reached && !said) {
                    said = true;
                    Event e = MakeEvent(EventType::LimitReached);
                    e.axis = AxisName(axis);
                    e.side = direction > 0 ? "max" : "min";
                    e.generation = active_.generation;
                    Publish(e);
                }
                if (upwards ? at > limit : at < limit) axisStopOwed_[pan ? 0 : 1] = active_.generation;
            }
        }
        if (moving) {
            if (!snapshot_.moving && active_.finished && !commanding_) {
                // Set going by someone else (a native client, the head itself),
                // not by a command of ours still on its way.
                active_ = Active{};
                active_.kind = MoveKind::External;
                active_.finished = false;
                active_.started = now;
                snapshot_.move = MoveKind::External;
                snapshot_.generation = 0;
                snapshot_.preset = 0;
                Event e = MakeEvent(EventType::MoveStarted);
                e.move = MoveName(MoveKind::External);
                e.fromPreset = std::exchange(snapshot_.atPreset, 0);
                Publish(e);
            }
            snapshot_.moving = true;
        } else {
            snapshot_.moving = false;
            if (!active_.finished) {
                const bool atTarget = active_.hasTarget && reading.pan == active_.panTarget && reading.tilt == active_.tiltTarget;
                if (atTarget || active_.stopped || now - active_.started >= kSetOffGrace) {
                    const bool limited = active_.kind == MoveKind::Continuous && (active_.panAtLimit || active_.tiltAtLimit);
                    FinishActive(active_.stopped ? active_.stopReason : limited ? "limit" : "arrived");
                }
            }
        }
        learn = std::exchange(learnOwed_, std::nullopt);
    }
    changed_.notify_all();
    // Where a preset turned out to be: the state file is written outside the lock.
    if (learn) presets_.Learn(learn->preset, learn->pan, learn->tilt);
}

void Machine::ReadIdentity() {
    {
        std::lock_guard lock(stateMutex_);
        // A head that refuses it is asked again now and then, not at every reading.
        if (identity_.known || Clock::now() - identityTried_ < kIdentityRetry) return;
        identityTried_ = Clock::now();
    }
    PTZ_SYSTEM_INFO info{};
    const Outcome o = head_.Call([&](int32_t link) { return PTZ_LinkGetSystemInfo(link, &info); },
                                 HeadWorker::Lane::Normal, "GetSystemInfo");
    if (o.result != PTZ_OK) return;
    const auto text = [](const char (&t)[16]) { return std::string(t, strnlen(t, sizeof t)); };
    {
        std::lock_guard lock(stateMutex_);
        identity_ = {true, text(info.text0), text(info.text1), text(info.text2)};
    }
    changed_.notify_all();
}

Machine::Identity Machine::WaitIdentity(std::chrono::milliseconds within) {
    const auto until = Clock::now() + within;
    std::unique_lock lock(stateMutex_);
    changed_.wait_until(lock, until, [&] { return identity_.known || stopping_ || !head_.Up(); });
    return identity_;
}

Snapshot Machine::FirstReading(std::chrono::milliseconds within) {
    const auto until = Clock::now() + within;
    for (Snapshot s = State();; s = State()) {
        if (!s.linkUp || s.known || Clock::now() >= until) return s;
        std::unique_lock lock(stateMutex_);
        // Woken by the reading; the slice bounds a wake-up missed between
        // the snapshot and the wait.
        changed_.wait_until(lock, std::min(until, Clock::now() + std::chrono::milliseconds(20)));
    }
}

Result Machine::SetInfrared(bool on) {
    const Outcome o = head_.Call([on](int32_t link) { return PTZ_LinkSetIrControl(link, on ? 1 : 0); },
                                 HeadWorker::Lane::Normal, "SetIrControl");
    Result r = FromOutcome(o, "SetIrControl");
    if (r.ok()) {
        std::lock_guard lock(stateMutex_);
        if (snapshot_.infrared != on) {
            snapshot_.infrared = on;
            Event e = MakeEvent(EventType::InfraredChanged);
            e.on = on;
            Publish(e);
        }
    }
    return r;
}

void Machine::StopFor(uint64_t generation, const std::string& reason) {
    uint64_t seq = 0;
    {
        std::lock_guard lock(stateMutex_);
        if (leaseActive_ && leaseGeneration_ == generation) {
            if (generation_ == generation && Clock::now() < leaseDeadline_) return;  // renewed meanwhile
            leaseActive_ = false;
        }
        // A newer command came: this stop is not its to make.
        if (generation_ != generation || active_.generation != generation) {
            if (stopOwed_ == generation) stopOwed_ = 0;
            return;
        }
        seq = active_.seq;
    }
    const Outcome o = SendStopOf(seq);
    {
        std::lock_guard lock(stateMutex_);
        stopOwed_ = o.result == PTZ_OK ? 0 : generation;
        if (o.result == PTZ_OK && active_.generation == generation && !active_.finished) {
            active_.stopped = true;
            active_.stopReason = reason;
        }
        fastUntil_ = Clock::now() + kFastAfterCommand;
    }
    changed_.notify_all();
}

void Machine::StopAxisFor(uint64_t generation, Axis axis) {
    uint64_t seq = 0;
    {
        std::lock_guard lock(stateMutex_);
        if (generation_ != generation || active_.generation != generation || active_.finished) return;
        seq = active_.seq;
    }
    SendStopOf(seq, axis);
}

}  // namespace ptzd::motion::detail

// ---- the face -------------------------------------------------------------------------

namespace ptzd::motion {

using detail::Machine;

const char* MoveName(MoveKind kind) {
    switch (kind) {
        case MoveKind::None: return "";
        case MoveKind::Absolute: return "absolute";
        case MoveKind::Relative: return "relative";
        case MoveKind::Continuous: return "continuous";
        case MoveKind::Preset: return "preset";
        case MoveKind::Home: return "home";
        case MoveKind::External: return "external";
    }
    return "";
}

const char* StatusName(Status status) {
    switch (status) {
        case Status::Ok: return "ok";
        case Status::BadArgument: return "bad argument";
        case Status::NotFound: return "not found";
        case Status::LinkDown: return "link down";
        case Status::Busy: return "busy";
        case Status::HeadFailed: return "head failed";
        case Status::Superseded: return "superseded";
        case Status::StateFailed: return "state not saved";
    }
    return "";
}

Motion::Motion(HeadWorker& head, const MotionConfig& config, EventBus& events, Files files)
    : poseFile_(files.pose) {
    machine_ = std::make_unique<Machine>(head, config, events, std::move(files));
    follow_ = std::make_unique<Follow>(*this, FollowSettings{});
}

void Motion::ConfigureFollow(const FollowSettings& settings) { follow_ = std::make_unique<Follow>(*this, settings); }
Motion::~Motion() { follow_.reset(); }  // its thread uses the pose, gone after it otherwise

void Motion::Start() { machine_->Start(); }
void Motion::StopAll() {
    follow_->Close();  // nothing follows after this
    machine_->StopAll();
}
const std::string& Motion::name() const { return machine_->name(); }
const Units& Motion::units() const { return machine_->units(); }
EventBus& Motion::events() { return machine_->events(); }
Snapshot Motion::State() const { return machine_->State(); }
void Motion::Watch() { machine_->Watch(); }
void Motion::Unwatch() { machine_->Unwatch(); }
Motion::Identity Motion::HeadIdentity() const { return machine_->HeadIdentity(); }
Motion::Identity Motion::WaitIdentity(std::chrono::milliseconds within) { return machine_->WaitIdentity(within); }
Snapshot Motion::FirstReading(std::chrono::milliseconds within) { return machine_->FirstReading(within); }
Result Motion::SetInfrared(bool on) { return machine_->SetInfrared(on); }
bool Motion::WaitFinished(uint64_t move, std::chrono::steady_clock::time_point deadline) {
    return machine_->WaitFinished(move, deadline);
}
Result Motion::Absolute(std::optional<double> pan, std::optional<double> tilt, const Pace& pace, std::optional<Box> within) {
    return machine_->Absolute(pan, tilt, pace, within);
}
Result Motion::Relative(double pan, double tilt, const Pace& pace, std::optional<Box> within) {
    return machine_->Relative(pan, tilt, pace, within);
}
Result Motion::Continuous(double panVelocity, double tiltVelocity, std::optional<std::chrono::milliseconds> timeout,
                          std::optional<Box> within) {
    return machine_->Continuous(panVelocity, tiltVelocity, timeout, within);
}
bool Motion::Renew(uint64_t lease, std::optional<std::chrono::milliseconds> timeout) { return machine_->Renew(lease, timeout); }
Result Motion::Stop() { return machine_->Stop(); }
Result Motion::AbsoluteAfter(uint64_t command, double pan, double tilt) { return machine_->AbsoluteAfter(command, pan, tilt); }
uint64_t Motion::LastCommand() const { return machine_->LastCommand(); }
void Motion::StopMoveOf(uint64_t command, const std::string& reason) { machine_->StopMoveOf(command, reason); }
bool Motion::InClientOrder(const std::string& client, uint64_t seq, bool stop) {
    return machine_->InClientOrder(client, seq, stop);
}
Result Motion::Home() { return machine_->Home(); }
Result Motion::StoreHome() { return machine_->StoreHome(); }
Result Motion::GoPreset(int preset, const Pace& pace) { return machine_->GoPreset(preset, pace); }
Result Motion::StorePreset(int preset, const std::string& name) { return machine_->StorePreset(preset, name); }
Result Motion::RenamePreset(int preset, const std::string& name) { return machine_->RenamePreset(preset, name); }
Result Motion::RemovePreset(int preset) { return machine_->RemovePreset(preset); }
PresetStore& Motion::presets() { return machine_->presets(); }
std::vector<Tour> Motion::Tours() { return machine_->Tours(); }
std::optional<Tour> Motion::GetTour(const std::string& name) { return machine_->GetTour(name); }
Result Motion::PutTour(const Tour& tour) { return machine_->PutTour(tour); }
Result Motion::RemoveTour(const std::string& name) { return machine_->RemoveTour(name); }
Result Motion::StartTour(const std::string& name) { return machine_->StartTour(name); }
Result Motion::StopTour() { return machine_->StopTour(); }
Result Motion::PauseTour() { return machine_->PauseTour(); }
Result Motion::ResumeTour() { return machine_->ResumeTour(); }
TourStatus Motion::CurrentTour() const { return machine_->CurrentTour(); }
Result Motion::Estimate(std::optional<double> pan, std::optional<double> tilt, int preset, double speed) {
    return machine_->Estimate(pan, tilt, preset, speed);
}

}  // namespace ptzd::motion
