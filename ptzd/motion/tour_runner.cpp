// The motion service running its tours: one tour at a time on a thread of
// its own, each step a move through the same path as every other, ended by
// any manual move; the tours themselves are the store's (tours.cpp).
#include <cmath>

#include "motion/detail.h"
#include "motion/tours.h"

namespace ptzd::motion::detail {

namespace {

// A step that has not arrived after this long ends its tour.
constexpr auto kStepTimeout = std::chrono::minutes(10);

}  // namespace

Result Machine::PutTour(const Tour& tour) {
    if (const std::string why = CheckTour(tour, units_); !why.empty()) return Refused(Status::BadArgument, why);
    if (const std::string why = tours_.Put(tour); !why.empty())
        return Refused(why.find("at most") != std::string::npos ? Status::BadArgument : Status::StateFailed, why);
    bool running = false;
    {
        std::lock_guard lock(stateMutex_);
        running = tour_.state != TourState::Idle && tour_.tour.name == tour.name;
    }
    if (running) EndTour("modified");
    return {};
}

Result Machine::RemoveTour(const std::string& name) {
    std::string why;
    if (!tours_.Remove(name, why)) return Refused(Status::NotFound, "no tour \"" + name + "\"");
    if (!why.empty()) return Refused(Status::StateFailed, why);
    bool running = false;
    {
        std::lock_guard lock(stateMutex_);
        running = tour_.state != TourState::Idle && tour_.tour.name == name;
    }
    if (running) EndTour("removed");
    return {};
}

Result Machine::StartTour(const std::string& name) {
    const std::optional<Tour> tour = tours_.Get(name);
    if (!tour) return Refused(Status::NotFound, "no tour \"" + name + "\"");
    if (const std::string why = CheckTour(*tour, units_); !why.empty())
        return Refused(Status::BadArgument, "tour \"" + name + "\" cannot run: " + why);
    {
        std::lock_guard lock(stateMutex_);
        if (stopping_) return Refused(Status::LinkDown, "the gateway stops");
        if (!started_) return Refused(Status::LinkDown, "the motion service has not started");
        CancelTour("replaced");
        tour_ = TourRun{.id = ++tourRuns_, .tour = *tour, .state = TourState::Running, .step = 0, .round = 0,
                        .dwelling = false, .dwellLeft = {}, .move = 0};
    }
    changed_.notify_all();
    return {};
}

Result Machine::StopTour() {
    {
        std::lock_guard lock(stateMutex_);
        if (tour_.state == TourState::Idle) return Refused(Status::NotFound, "no tour is running");
    }
    EndTour("stopped");
    return {};
}

Result Machine::PauseTour() {
    uint64_t move = 0;
    {
        std::lock_guard lock(stateMutex_);
        if (tour_.state != TourState::Running) return Refused(Status::NotFound, "no tour is running");
        tour_.state = TourState::Paused;
        if (active_.tour && !active_.finished) move = active_.generation;
    }
    changed_.notify_all();
    if (move != 0) StopFor(move, "tour paused");
    return {};
}

Result Machine::ResumeTour() {
    {
        std::lock_guard lock(stateMutex_);
        if (tour_.state != TourState::Paused) return Refused(Status::NotFound, "no tour is paused");
        tour_.state = TourState::Running;
    }
    changed_.notify_all();
    return {};
}

TourStatus Machine::CurrentTour() const {
    std::lock_guard lock(stateMutex_);
    if (tour_.state == motion::TourState::Idle) return {};
    return {tour_.tour.name, tour_.state, static_cast<int>(tour_.step), tour_.round};
}

void Machine::CancelTour(const std::string& reason) {
    if (tour_.state == motion::TourState::Idle) return;
    Event e = MakeEvent(EventType::TourStopped);
    e.tour = tour_.tour.name;
    e.step = static_cast<int>(tour_.step);
    e.round = tour_.round;
    e.reason = reason;
    Publish(e);
    tour_ = TourRun{};
    changed_.notify_all();
}

void Machine::EndTour(const std::string& reason) {
    {
        std::lock_guard lock(stateMutex_);
        if (!tour_.sending && !(active_.tour && !active_.finished)) {
            CancelTour(reason);
            return;
        }
    }
    // Its step is moving or being sent: a stop of everything, which drops
    // the step if it is still unsent and otherwise follows it to the head.
    StopNow("tour " + reason, reason);
}

Machine::Request Machine::StepRequest(const TourStep& step, uint64_t run) const {
    Request r(step.preset != 0 ? Op::Preset : Op::Absolute);
    if (step.preset == 0) {
        r.pan = step.pan;
        r.tilt = step.tilt;
    }
    r.pace.speed = step.speed;
    r.preset = step.preset;
    r.tourRun = run;
    return r;
}

void Machine::TourLoop() {
    std::unique_lock lock(stateMutex_);
    while (!stopping_) {
        if (tour_.state != motion::TourState::Running) {
            changed_.wait(lock);
            continue;
        }
        const uint64_t run = tour_.id;
        auto interrupted = [&] { return stopping_ || tour_.id != run || tour_.state != motion::TourState::Running; };
        if (tour_.step >= tour_.tour.steps.size()) {  // never stored so; never run so either
            CancelTour("it has no such step");
            continue;
        }
        if (!tour_.dwelling) {
            // The step's move, then its arrival.
            const TourStep step = tour_.tour.steps[tour_.step];
            Event e = MakeEvent(EventType::TourStep);
            e.tour = tour_.tour.name;
            e.step = static_cast<int>(tour_.step);
            e.round = tour_.round;
            Publish(e);
            tour_.sending = true;
            lock.unlock();
            const Result r = Issue(StepRequest(step, run));
            lock.lock();
            if (stopping_ || tour_.id != run) continue;
            tour_.sending = false;
            if (!r.ok()) {
                if (r.status != Status::Superseded)  // paused meanwhile: the step is made again on resume
                    CancelTour("step " + std::to_string(tour_.step + 1) + " failed: " + r.message);
                continue;
            }
            tour_.move = r.move;
            const bool done = changed_.wait_until(lock, Clock::now() + kStepTimeout, [&] {
                return interrupted() || active_.generation != r.move || active_.finished;
            });
            if (stopping_ || tour_.id != run) continue;
            if (tour_.state == motion::TourState::Paused) {
                // Paused on the way: the step is made again on resume.
                lock.unlock();
                StopFor(r.move, "tour paused");
                lock.lock();
                continue;
            }
            if (!done || active_.generation != r.move) {
                CancelTour("step " + std::to_string(tour_.step + 1) + " did not arrive");
                continue;
            }
            tour_.dwelling = true;
            tour_.dwellLeft = step.dwell;
        }
        const auto end = Clock::now() + tour_.dwellLeft;
        changed_.wait_until(lock, end, interrupted);
        if (stopping_ || tour_.id != run) continue;
        if (tour_.state == motion::TourState::Paused) {
            tour_.dwellLeft = std::max(std::chrono::milliseconds(0),
                                       std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
            continue;
        }
        tour_.dwelling = false;
        if (++tour_.step < tour_.tour.steps.size()) continue;
        if (!tour_.tour.loop) {
            --tour_.step;
            CancelTour("finished");
            continue;
        }
        tour_.step = 0;
        ++tour_.round;
    }
}

}  // namespace ptzd::motion::detail
