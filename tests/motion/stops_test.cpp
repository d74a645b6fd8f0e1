// Stops that must happen: at exit while a move is on its way, under a full
// call queue, after a lease ran out, when a tour ends while its step is
// being sent. Each race is pinned down by holding one request at the head
// (received, not yet acted on) until the other side of the race is in place.
#include <atomic>
#include <future>

#include "motion_support.h"
#include "ptz.h"

namespace {

using namespace motiontest;
using namespace ptzd::motion;
using Lane = ptzd::HeadWorker::Lane;

constexpr uint8_t kGetPTPos = 0x98, kStopMotor = 0x84, kSetPTPos = 0x8C;

bool Is(const SimulatedHead::Request& r, uint8_t code) { return r.code == code; }

// The codes the head received from `from` on, in order.
std::vector<uint8_t> CodesFrom(SimulatedHead& sim, Clock::time_point from) {
    std::vector<uint8_t> codes;
    for (const auto& r : sim.Requests())
        if (r.at >= from) codes.push_back(r.code);
    return codes;
}

// Runs `what` on a thread; Done() tells whether it has returned.
class Background {
public:
    explicit Background(std::function<void()> what) : future_(std::async(std::launch::async, std::move(what))) {}
    ~Background() { future_.wait(); }
    bool Done() { return future_.wait_for(0s) == std::future_status::ready; }

private:
    std::future<void> future_;
};

// With the move's SetPTPos held at the head, `stopper` runs; the head is
// released once the stop waits for its turn (or `stopper` gave up without
// one), and the head must end up still, the stop after the move.
void StopWhileTheMoveIsOnItsWay(Gateway& g, const std::function<Result()>& mover,
                                const std::function<void()>& stopper) {
    const auto start = Clock::now();
    g.sim.HoldNext([](const auto& r) { return Is(r, kSetPTPos); });
    Background move([&] { mover(); });
    ASSERT_TRUE(WaitFor([&] { return g.sim.Holding(); }));
    Background stop(stopper);
    ASSERT_TRUE(WaitFor([&] { return stop.Done() || g.worker.Waiting(Lane::Urgent) > 0; }));
    g.sim.Release();
    ASSERT_TRUE(WaitFor([&] { return stop.Done() && move.Done(); }));
    const std::vector<uint8_t> codes = CodesFrom(g.sim, start);
    const auto moved = std::find(codes.begin(), codes.end(), kSetPTPos);
    ASSERT_NE(moved, codes.end());
    EXPECT_NE(std::find(moved, codes.end(), kStopMotor), codes.end()) << "no stop after the move";
    EXPECT_TRUE(WaitFor([&] { return !g.sim.Moving(); }));
}

TEST(Stops, AtExitTheMoveOnItsWayIsStopped) {
    struct Case {
        const char* what;
        std::function<Result(Motion&)> move;
    };
    const Case cases[] = {
        {"continuous", [](Motion& m) { return m.Continuous(0.2, 0.1, 5s); }},
        {"absolute", [](Motion& m) { return m.Absolute(-60, -20, {.speed = 0.05, .duration = {}, .tiltSpeed = {}}); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Gateway g;
        StopWhileTheMoveIsOnItsWay(g, [&] { return c.move(g.motion); },
                                   [&] {
                                       g.worker.BeginStop(Clock::now() + 10s);
                                       g.motion.StopAll();
                                   });
        // Later commands are refused.
        EXPECT_EQ(g.motion.Absolute(1, 1).status, Status::LinkDown);
    }
}

TEST(Stops, AStopOfATourStopsTheStepOnItsWay) {
    struct Case {
        const char* what;
        std::function<void(Motion&)> end;
    };
    Tour tour{.name = "t", .steps = {{.preset = 0, .pan = -50, .tilt = 20, .speed = 0.05, .dwell = 0ms}}, .loop = false};
    Tour changed = tour;
    changed.steps[0].pan = 50;
    const Case cases[] = {
        {"stopped", [](Motion& m) { EXPECT_TRUE(m.StopTour().ok()); }},
        {"changed", [&](Motion& m) { EXPECT_TRUE(m.PutTour(changed).ok()); }},
        {"removed", [](Motion& m) { EXPECT_TRUE(m.RemoveTour("t").ok()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Gateway g;
        ASSERT_TRUE(g.motion.PutTour(tour).ok());
        StopWhileTheMoveIsOnItsWay(g, [&] { return g.motion.StartTour("t"); }, [&] { c.end(g.motion); });
        EXPECT_EQ(g.motion.CurrentTour().state, TourState::Idle);
        EXPECT_NE(g.sim.Position().first, -5000);  // never got there
    }
}

// Sixteen callers fill the head's queue behind a held request (more are
// refused busy); a lease that runs out and an explicit stop both go to the
// head before every one of them.
TEST(Stops, AStopGoesFirstThroughAFullQueue) {
    struct Case {
        const char* what;
        bool explicitStop;
    };
    for (const Case c : {Case{"lease", false}, Case{"explicit", true}}) {
        SCOPED_TRACE(c.what);
        Gateway g;
        const Result move = g.motion.Continuous(0.1, 0, 300ms);
        ASSERT_TRUE(move.ok()) << move.message;
        const auto start = Clock::now();
        // The poller's next reading (or the flood's first call) is held.
        g.sim.HoldNext([](const auto& r) { return Is(r, kGetPTPos); });
        std::atomic<int> busy{0};
        std::vector<std::unique_ptr<Background>> flood;
        for (size_t i = 0; i < ptzd::HeadWorker::kMaxCallers + 4; ++i)
            flood.push_back(std::make_unique<Background>([&] {
                int32_t p = 0, t = 0;
                const ptzd::Outcome o = g.worker.Call([&](int32_t link) { return PTZ_LinkGetPTPos(link, &p, &t); });
                if (o.result == ptzd::kBusy) ++busy;
            }));
        ASSERT_TRUE(WaitFor([&] { return g.sim.Holding() && busy > 0; })) << g.sim.Holding() << " busy " << busy << " waiting " << g.worker.Waiting(Lane::Normal);
        std::unique_ptr<Background> stop;
        if (c.explicitStop) stop = std::make_unique<Background>([&] { EXPECT_TRUE(g.motion.Stop().ok()); });
        // The lease's stop, or the explicit one, waits in the urgent lane.
        ASSERT_TRUE(WaitFor([&] { return g.worker.Waiting(Lane::Urgent) > 0; }));
        g.sim.Release();
        ASSERT_TRUE(WaitFor([&] { return g.sim.Count(kStopMotor, start) >= 2; }));
        const std::vector<uint8_t> codes = CodesFrom(g.sim, start);
        ASSERT_GE(codes.size(), 3u);
        // The held reading, then both axes' stop before anything else.
        EXPECT_EQ(codes[0], kGetPTPos);
        EXPECT_EQ(codes[1], kStopMotor);
        EXPECT_EQ(codes[2], kStopMotor);
        EXPECT_TRUE(WaitFor([&] { return !g.sim.Moving(); }));
        flood.clear();
        EXPECT_FALSE(g.motion.Renew(move.move));
    }
}

// A renewal that comes after its lease ran out (the poller still busy with
// the head) is refused, and the move stops.
TEST(Stops, ALateRenewalNeverRevivesAMove) {
    Gateway g;
    const Result move = g.motion.Continuous(0.1, 0, 300ms);
    // The lease starts once the move is answered, before Continuous returns.
    const auto returned = Clock::now();
    ASSERT_TRUE(move.ok()) << move.message;
    const auto sent = g.sim.First(kSetPTPos)->at;
    g.sim.HoldNext([](const auto& r) { return Is(r, kGetPTPos); });
    ASSERT_TRUE(WaitFor([&] { return g.sim.Holding(); }));
    ASSERT_TRUE(WaitFor([&] { return Clock::now() > returned + 300ms; }));
    EXPECT_FALSE(g.motion.Renew(move.move, 5s));
    g.sim.Release();
    ASSERT_TRUE(WaitFor([&] { return g.sim.Count(kStopMotor, sent) >= 2; }));
    EXPECT_TRUE(WaitFor([&] { return !g.sim.Moving(); }));
}

// A stop drops the commands that came before it and are still unsent: a
// move queued behind a held exchange never reaches the head.
TEST(Stops, AStopDropsWhatCameBeforeItUnsent) {
    Gateway g;
    const auto start = Clock::now();
    g.sim.HoldNext([](const auto& r) { return Is(r, kGetPTPos); });
    ASSERT_TRUE(WaitFor([&] { return g.sim.Holding() || (g.motion.State(), false); }));
    Result queued;
    Background move([&] { queued = g.motion.Absolute(30, 10); });
    ASSERT_TRUE(WaitFor([&] { return g.worker.Waiting(Lane::Normal) >= 2; }));  // the poller's reading and the move
    Background stop([&] { EXPECT_TRUE(g.motion.Stop().ok()); });
    ASSERT_TRUE(WaitFor([&] { return g.worker.Waiting(Lane::Urgent) > 0; }));
    g.sim.Release();
    ASSERT_TRUE(WaitFor([&] { return move.Done() && stop.Done(); }));
    EXPECT_EQ(queued.status, Status::Superseded) << queued.message;
    EXPECT_EQ(g.sim.Count(kSetPTPos, start), 0u);
    // What comes after the stop goes.
    const Result later = g.motion.Absolute(3, 1);
    ASSERT_TRUE(later.ok()) << later.message;
    ASSERT_TRUE(g.motion.WaitFinished(later.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{300, 100}));
}

// A front end's narrower limits apply to the target worked out when the
// move is sent, for every kind of move.
TEST(Stops, NarrowerLimitsHoldAtTheTargetComputedWhenSent) {
    Gateway g;
    const Motion::Box box{{-10, 10}, {-5, 5}};
    Result r = g.motion.Absolute(9.5, 0, {}, box);
    ASSERT_TRUE(r.ok() && g.motion.WaitFinished(r.move, Clock::now() + 20s));
    struct Case {
        const char* what;
        std::function<Result()> move;
        std::pair<int32_t, int32_t> at;
    };
    const Case cases[] = {
        {"relative past the box", [&] { return g.motion.Relative(9.5, 7, {}, box); }, {1000, 500}},
        {"absolute past the box", [&] { return g.motion.Absolute(-30, -30, {}, box); }, {-1000, -500}},
        {"relative inside", [&] { return g.motion.Relative(4, 2, {}, box); }, {-600, -300}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        r = c.move();
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
        EXPECT_EQ(g.sim.Position(), c.at);
    }
    EXPECT_EQ(g.motion.Relative(1, 1, {}, Motion::Box{{5, -5}, {0, 0}}).status, Status::BadArgument);
}

}  // namespace
