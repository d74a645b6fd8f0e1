// The motion service against the simulated head with its motion model on:
// moves in degrees, soft limits, synchronised arrival, the dead-man stop,
// stops that belong to their moves, the shared state's cost at the head,
// events, presets.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <map>

#include "motion/presets.h"
#include "json/events.h"
#include "motion_support.h"
#include "ptz.h"

namespace {

using namespace motiontest;
using namespace ptzd::motion;

constexpr uint8_t kStopMotor = 0x84, kSetMotorSpeed = 0x86, kSetPTPos = 0x8C, kSetPresetPos = 0x91;

MotionConfig Limited() {
    MotionConfig c;
    c.pan.limitMin = -20;
    c.pan.limitMax = 20;
    c.tilt.limitMin = -10;
    c.tilt.limitMax = 10;
    return c;
}

// Events until `done` says those so far are enough (or 30 s).
std::vector<Event> Collect(EventBus::Subscription& s, const std::function<bool(const std::vector<Event>&)>& done) {
    std::vector<Event> all;
    Until(s, [&](const Event& e) {
        all.push_back(e);
        return done(all);
    });
    return all;
}

TEST(Motion, AbsoluteAndRelativeMovesInDegrees) {
    Gateway g;
    Result r = g.motion.Absolute(12.5, -4, {.speed = 0.5, .duration = std::nullopt, .tiltSpeed = std::nullopt});
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{1250, -400}));
    EXPECT_NEAR(g.motion.State().pan, 12.5, 1e-9);
    r = g.motion.Relative(-2.5, 1);
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{1000, -300}));
    // An absent axis stays.
    r = g.motion.Absolute(std::nullopt, 5);
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{1000, 500}));
    // Refused before anything is sent.
    const size_t before = g.sim.Count(kSetPTPos);
    EXPECT_EQ(g.motion.Absolute(NAN, 0).status, Status::BadArgument);
    EXPECT_EQ(g.motion.Absolute(0, 0, {.speed = 1.5, .duration = std::nullopt, .tiltSpeed = std::nullopt}).status, Status::BadArgument);
    EXPECT_EQ(g.motion.Absolute(0, 0, {.speed = std::nullopt, .duration = 0ms, .tiltSpeed = std::nullopt}).status, Status::BadArgument);
    EXPECT_EQ(g.motion.Continuous(2, 0).status, Status::BadArgument);
    EXPECT_EQ(g.motion.Continuous(0.5, 0, 0ms).status, Status::BadArgument);
    EXPECT_EQ(g.sim.Count(kSetPTPos), before);
}

TEST(Motion, SoftLimitsHoldForEveryKindOfMove) {
    Gateway g(Limited());
    auto events = g.bus.Subscribe(1000);
    // Absolute: clamped, and the limits say so on arrival.
    Result r = g.motion.Absolute(50, -50);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(r.panClamped && r.tiltClamped);
    EXPECT_NEAR(r.pan, 20, 1e-9);
    EXPECT_NEAR(r.tilt, -10, 1e-9);
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{2000, -1000}));
    auto all = Collect(*events, [](const auto& a) { return Only(a, EventType::LimitReached).size() >= 2; });
    ASSERT_EQ(Only(all, EventType::LimitReached).size(), 2u);
    EXPECT_EQ(Only(all, EventType::LimitReached)[0].side, "max");
    EXPECT_EQ(Only(all, EventType::LimitReached)[1].side, "min");

    // Relative from inside: clamped at the far side.
    r = g.motion.Relative(-100, 30);
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{-2000, 1000}));

    // Continuous: the head is sent no further than the limits, stops there,
    // and the move ends as "limit".
    events->Drain();
    r = g.motion.Continuous(1, -1, 30s);
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{2000, -1000}));
    all = Collect(*events, [](const auto& a) { return Has(a, EventType::MoveFinished); });
    EXPECT_EQ(Only(all, EventType::LimitReached).size(), 2u);
    EXPECT_TRUE(Has(all, EventType::MoveFinished, "limit"));
    for (const auto& request : g.sim.Requests())
        if (request.code == kSetPTPos) {
            const int32_t pan = static_cast<int32_t>((uint32_t{request.data[1]} << 24) | (uint32_t{request.data[2]} << 16) |
                                                     (uint32_t{request.data[3]} << 8) | request.data[4]);
            EXPECT_LE(std::abs(pan), 2000);
        }

    // A stored preset outside the limits is the head's own: not clamped.
    g.sim.Model([](ptzsim::HeadModel& m) { m.State().presets[2] = {true, 5000, 2500}; });
    r = g.motion.GoPreset(2);
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{5000, 2500}));
}

// A head that runs past the soft limit in a continuous move has that axis stopped.
TEST(Motion, AnAxisPastItsLimitIsStopped) {
    Gateway g(Limited());
    auto events = g.bus.Subscribe(100);
    const Result r = g.motion.Continuous(0, 0.05, 30s);
    ASSERT_TRUE(r.ok()) << r.message;
    const auto sent = Clock::now();
    g.sim.Model([](ptzsim::HeadModel& m) { m.State().motorPosition[4] = 1200; });  // beyond 10 degrees
    ASSERT_TRUE(WaitFor([&] {
        for (const auto& q : g.sim.Requests())
            if (q.at >= sent && q.code == kStopMotor && q.data[0] == 4) return true;
        return false;
    }));
    const auto all = Collect(*events, [](const auto& a) { return Has(a, EventType::LimitReached); });
    ASSERT_TRUE(Has(all, EventType::LimitReached));
    EXPECT_EQ(Only(all, EventType::LimitReached)[0].axis, "tilt");
}

// Each axis at its own speed when the tilt's is given; one speed for both otherwise.
TEST(Motion, EachAxisMovesAtTheSpeedItIsGiven) {
    Gateway g;
    const auto speeds = [&](Clock::time_point since) {
        std::map<int, int> set;  // motor -> speed
        for (const auto& q : g.sim.Requests())
            if (q.at >= since && q.code == kSetMotorSpeed) set[q.data[0]] = q.data[1];
        return set;
    };
    struct Case {
        Pace pace;
        int pan, tilt;
    };
    for (const Case& c : {Case{{1.0, std::nullopt, 0.0}, 255, 1}, Case{{0.0, std::nullopt, 1.0}, 1, 255},
                          Case{{0.5, std::nullopt, std::nullopt}, 128, 128}}) {
        const auto since = Clock::now();
        const Result r = g.motion.Relative(1, 1, c.pace);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
        EXPECT_EQ(speeds(since), (std::map<int, int>{{0, c.pan}, {4, c.tilt}}));
    }
    EXPECT_EQ(g.motion.Relative(1, 1, {0.5, std::nullopt, 1.5}).status, Status::BadArgument);
}

// A front end's narrower limits hold a continuous move too; an axis already
// at or past them in the velocity's direction stays (never turned back).
TEST(Motion, AContinuousMoveKeepsInsideTheLimitsItIsGiven) {
    Gateway g(Limited());
    const Motion::Box box{{-5, 8}, {-3, 4}};
    Result r = g.motion.Continuous(1, -1, 30s, box);
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{800, -300}));
    // A box wider than the soft limits is held by the soft limits.
    r = g.motion.Continuous(-1, 1, 30s, Motion::Box{{-90, 90}, {-90, 90}});
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{-2000, 1000}));
    // From outside the box, moving further out: nothing moves; moving back in: it does.
    r = g.motion.Continuous(-1, 1, 30s, box);
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{-2000, 1000}));
    r = g.motion.Continuous(1, -1, 30s, box);
    ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{800, -300}));
    for (const Motion::Box bad : {Motion::Box{{5, -5}, {-3, 4}}, Motion::Box{{NAN, 5}, {-3, 4}}})
        EXPECT_EQ(g.motion.Continuous(1, 0, 30s, bad).status, Status::BadArgument);
}

// Both axes reach their targets within 5 % of the duration of each other,
// measured at the head.
TEST(Motion, ADurationBringsBothAxesTogether) {
    Gateway g;
    struct Row {
        double pan, tilt;
        std::chrono::milliseconds duration;
    } rows[] = {{120, 25, 2000ms}, {-30, -80, 1500ms}, {-25, 20, 1000ms}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.pan) + ", " + std::to_string(row.tilt));
        const auto start = Clock::now();
        const Result r = g.motion.Absolute(row.pan, row.tilt, {.speed = std::nullopt, .duration = row.duration, .tiltSpeed = std::nullopt});
        ASSERT_TRUE(r.ok()) << r.message;
        const auto a = g.sim.WatchArrival(static_cast<int32_t>(std::lround(row.pan * 100)),
                                          static_cast<int32_t>(std::lround(row.tilt * 100)));
        ASSERT_TRUE(a.pan && a.tilt);
        const double spread = std::chrono::duration<double>(*a.pan > *a.tilt ? *a.pan - *a.tilt : *a.tilt - *a.pan).count();
        const double took = std::chrono::duration<double>(std::max(*a.pan, *a.tilt) - start).count();
        const double duration = std::chrono::duration<double>(row.duration).count();
        std::printf("synchronised arrival: %.0f ms asked, %.0f ms taken, axes %.1f ms (%.2f %%) apart\n",
                    duration * 1000, took * 1000, spread * 1000, 100 * spread / duration);
        EXPECT_LE(spread, 0.05 * duration);
        EXPECT_NEAR(took, duration, 0.15 * duration);
        ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
    }
}

// A continuous move whose caller goes away stops by itself, never before its
// time-out (how soon after is a benchmark's figure); a renewed one goes on.
TEST(Motion, TheDeadManStopsAContinuousMove) {
    Gateway g;
    const auto lease = 500ms;
    const Result r = g.motion.Continuous(0.1, 0, lease);
    ASSERT_TRUE(r.ok()) << r.message;
    const auto moved = g.sim.First(kSetPTPos);
    ASSERT_TRUE(moved);
    ASSERT_TRUE(WaitFor([&] { return g.sim.First(kStopMotor, moved->at).has_value(); }));
    const auto stopped = g.sim.First(kStopMotor, moved->at);
    const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(stopped->at - moved->at);
    std::printf("dead-man stop: %lld ms after the move (time-out %lld ms)\n", static_cast<long long>(after.count()),
                static_cast<long long>(lease.count()));
    EXPECT_GE(after, lease - 10ms);
    EXPECT_TRUE(WaitFor([&] { return !g.sim.Moving(); }));
    EXPECT_FALSE(g.motion.Renew(r.move));  // that move is over

    // Renewed for a second, each time well inside its lease: no stop
    // meanwhile; then renewed for 300 ms and left alone, it stops once those
    // 300 ms are over.
    const Result renewed = g.motion.Continuous(-0.1, 0, 30s);
    ASSERT_TRUE(renewed.ok());
    const auto start = g.sim.First(kSetPTPos, stopped->at)->at;
    while (Clock::now() < start + 1s) {
        std::this_thread::sleep_for(100ms);
        ASSERT_TRUE(g.motion.Renew(renewed.move, 30s));
    }
    const auto lastRenewal = Clock::now();
    ASSERT_TRUE(g.motion.Renew(renewed.move, 300ms));
    EXPECT_EQ(g.sim.Count(kStopMotor, start), 0u);
    ASSERT_TRUE(WaitFor([&] { return g.sim.First(kStopMotor, start).has_value(); }));
    // A shorter renewal replaces the long lease: the stop comes long before
    // the 30 s one would have ended.
    EXPECT_GE(g.sim.First(kStopMotor, start)->at - lastRenewal, 300ms - 10ms);
    EXPECT_LT(g.sim.First(kStopMotor, start)->at - lastRenewal, 20s);
}

// A lease that runs out while the head is away is stopped once it is back.
TEST(Motion, ALeaseThatRanOutWhileTheHeadWasAwayIsStoppedWhenItReturns) {
    Gateway g;
    auto events = g.bus.Subscribe(100);
    const Result r = g.motion.Continuous(0.05, 0, 300ms);
    ASSERT_TRUE(r.ok()) << r.message;
    const auto moved = g.sim.First(kSetPTPos)->at;
    g.sim.GoAway();  // the model goes on moving meanwhile
    Collect(*events, [](const auto& a) { return Has(a, EventType::LinkLost); });
    ASSERT_TRUE(WaitFor([&] { return Clock::now() > moved + 600ms; }));
    EXPECT_EQ(g.sim.Count(kStopMotor), 0u);
    EXPECT_TRUE(g.sim.Moving());
    g.sim.ComeBack();
    ASSERT_TRUE(WaitFor([&] { return g.sim.Count(kStopMotor) > 0; }));
    EXPECT_TRUE(WaitFor([&] { return !g.sim.Moving(); }));
}

// A stop armed by one move never stops the move after it: here the first
// move's lease runs out while the second is being sent (the head answers
// slowly), and the poller's stop comes after it.
TEST(Motion, AStopBelongsToTheMoveThatArmedIt) {
    MotionConfig c;
    c.pollMovingHz = c.pollIdleHz = 0.5;  // the poller sleeps through the lease's end
    Gateway g(c);
    const Result first = g.motion.Continuous(0.2, 0, 300ms);
    ASSERT_TRUE(first.ok());
    g.sim.Delay(400);
    const Result second = g.motion.Absolute(-30, 5, {.speed = 0.3, .duration = std::nullopt, .tiltSpeed = std::nullopt});
    g.sim.Delay(0);
    ASSERT_TRUE(second.ok()) << second.message;
    const auto sent = g.sim.Requests().back().at;
    EXPECT_FALSE(g.motion.Renew(first.move));
    ASSERT_TRUE(g.motion.WaitFinished(second.move, Clock::now() + 30s));
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{-3000, 500}));
    EXPECT_EQ(g.sim.Count(kStopMotor, sent), 0u);

    // A stop stops both axes even when the first refuses.
    g.sim.RefuseWhen([](const SimulatedHead::Request& r) { return r.code == kStopMotor && r.data[0] == 0; });
    const auto before = Clock::now();
    const Result stop = g.motion.Stop();
    EXPECT_EQ(stop.status, Status::HeadFailed);
    EXPECT_EQ(stop.outcome.code, PTZ_ERR_RESP_STATUS);
    EXPECT_EQ(g.sim.Count(kStopMotor, before), 2u);
}

// N readers of the shared state cost the head nothing: the exchanges it
// sees are the poller's, as many with 32 readers as with none.
TEST(Motion, ReadersDoNotReachTheHead) {
    MotionConfig c;
    c.pollIdleHz = 5;
    c.pollMovingHz = 20;
    Gateway g(c);
    // Until the poller has gone slow: two readings at the idle rate.
    uint64_t readings = 0;
    Clock::time_point last{};
    ASSERT_TRUE(WaitFor([&] {
        const Snapshot s = g.motion.State();
        if (s.readings == readings) return false;
        const bool slow = readings != 0 && s.read - last >= 150ms;
        readings = s.readings;
        last = s.read;
        return slow && !s.moving;
    }));
    auto window = [&](int readers, std::vector<double>* latencies) {
        std::atomic<bool> run{true};
        std::vector<std::thread> threads;
        std::mutex m;
        for (int i = 0; i < readers; ++i)
            threads.emplace_back([&] {
                std::vector<double> mine;
                while (run) {
                    const auto t0 = Clock::now();
                    const Snapshot s = g.motion.State();
                    mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                    if (!s.known) ADD_FAILURE();
                }
                std::lock_guard lock(m);
                if (latencies) latencies->insert(latencies->end(), mine.begin(), mine.end());
            });
        const auto from = Clock::now();
        std::this_thread::sleep_for(2s);  // the measuring window
        const auto to = Clock::now();
        run = false;
        for (auto& t : threads) t.join();
        size_t exchanges = 0;
        for (const auto& q : g.sim.Requests()) exchanges += q.at >= from && q.at < to;
        return std::pair{exchanges, std::chrono::duration<double>(to - from).count()};
    };
    const auto [alone, aloneSeconds] = window(0, nullptr);
    std::vector<double> latencies;
    const auto [crowd, crowdSeconds] = window(32, &latencies);
    std::sort(latencies.begin(), latencies.end());
    std::printf("still head: %zu exchanges in %.1f s alone, %zu with 32 readers (%zu reads, median %.1f us, 99%% %.1f us)\n",
                alone, aloneSeconds, crowd, latencies.size(), latencies[latencies.size() / 2],
                latencies[latencies.size() * 99 / 100]);
    // Two exchanges a reading (position and status) at 5 Hz.
    EXPECT_LE(crowd, static_cast<size_t>(2 * c.pollIdleHz * crowdSeconds) + 2);
    EXPECT_LE(crowd, alone + 4);  // a window holds 9 to 11 readings, whatever reads
    EXPECT_LT(latencies[latencies.size() / 2], 1000);

    // Moving: the position alone, 20 times a second (and the flags once a second).
    const Result r = g.motion.Absolute(-160, 0, {.speed = 0.05, .duration = std::nullopt, .tiltSpeed = std::nullopt});
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(WaitFor([&] { return g.motion.State().moving; }));
    const auto [moving, movingSeconds] = window(32, nullptr);
    std::printf("moving head: %zu exchanges in %.1f s with 32 readers\n", moving, movingSeconds);
    EXPECT_LE(moving, static_cast<size_t>((c.pollMovingHz + 1) * movingSeconds) + 2);
    EXPECT_TRUE(g.motion.State().moving);
}

TEST(Motion, EventsComeInOrderAndAStalledSubscriberHoldsNobody) {
    Gateway g;
    auto reader = g.bus.Subscribe(1000);
    auto stalled = g.bus.Subscribe(2);  // never read until the end
    std::vector<uint64_t> moves;
    for (double pan : {10.0, -10.0, 5.0, 0.0}) {
        const Result r = g.motion.Absolute(pan, 0);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
        moves.push_back(r.move);
    }
    const auto all = Collect(*reader, [&](const auto& a) { return Only(a, EventType::MoveFinished).size() >= moves.size(); });
    for (size_t i = 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].sequence, all[i - 1].sequence + 1);
        EXPECT_GE(all[i].monotonic, all[i - 1].monotonic);
    }
    // Each move: started, then finished where it arrived, before the next starts.
    std::vector<std::pair<EventType, uint64_t>> order;
    for (const Event& e : all)
        if (e.type == EventType::MoveStarted || e.type == EventType::MoveFinished) order.emplace_back(e.type, e.generation);
    std::vector<std::pair<EventType, uint64_t>> expected;
    for (uint64_t m : moves) {
        expected.emplace_back(EventType::MoveStarted, m);
        expected.emplace_back(EventType::MoveFinished, m);
    }
    EXPECT_EQ(order, expected);
    const auto finished = Only(all, EventType::MoveFinished);
    EXPECT_NEAR(finished[1].pan, -10, 1e-9);
    EXPECT_EQ(finished[1].reason, "arrived");
    // The stalled one kept the newest two and counted the rest.
    const auto kept = stalled->Drain();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept.back().sequence, all.back().sequence);
    EXPECT_EQ(stalled->Dropped(), all.size() - 2);
    EXPECT_NE(ptzd::EventJson(finished[1]).find("\"type\":\"move_finished\""), std::string::npos);
}

TEST(Motion, ASubscriptionPastItsEndHoldsNoPlaceAndNoEvents) {
    // A subscription with an end (an ONVIF pull point) gives its place back
    // when the end passes, without its holder doing anything.
    EventBus bus(2);
    const auto now = std::chrono::system_clock::now();
    auto ended = bus.Subscribe(8);
    auto alive = bus.Subscribe(8);
    ASSERT_TRUE(ended && alive);
    EXPECT_EQ(bus.Subscribe(8), nullptr);  // full
    Event e;
    e.type = EventType::LinkLost;
    bus.Publish(e);
    ASSERT_TRUE(ended->EndAt(now - 1ms));
    ASSERT_TRUE(alive->EndAt(now + 1h));
    const auto third = bus.Subscribe(8);  // the ended one's place
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(bus.Subscribers(), 2u);
    bus.Publish(e);
    EXPECT_TRUE(ended->Drain().empty());  // what it held is gone, nothing new came
    EXPECT_FALSE(ended->Next(0ms).has_value());
    EXPECT_FALSE(ended->EndAt(now + 1h));  // an ended subscription is not revived
    EXPECT_EQ(alive->Drain().size(), 2u);
    EXPECT_EQ(third->Drain().size(), 1u);
}

TEST(Motion, MovesBySomeoneElseAndTheLinkAreSeen) {
    Gateway g;
    auto events = g.bus.Subscribe(1000);
    // Another client of the head (the native protocol) moves it.
    g.worker.Call([](int32_t link) { return PTZ_LinkSetPTPos(link, 1, 3000, 0); });
    auto all = Collect(*events, [](const auto& a) { return Has(a, EventType::MoveFinished); });
    ASSERT_TRUE(Has(all, EventType::MoveStarted));
    EXPECT_EQ(Only(all, EventType::MoveStarted)[0].move, "external");
    EXPECT_NEAR(Only(all, EventType::MoveFinished)[0].pan, 30, 1e-9);

    g.sim.GoAway();
    all = Collect(*events, [](const auto& a) { return Has(a, EventType::LinkLost); });
    ASSERT_TRUE(Has(all, EventType::LinkLost));
    EXPECT_FALSE(g.motion.State().linkUp);
    EXPECT_EQ(g.motion.Absolute(0, 0).status, Status::LinkDown);
    g.sim.ComeBack();
    all = Collect(*events, [](const auto& a) { return Has(a, EventType::LinkRestored); });
    ASSERT_TRUE(Has(all, EventType::LinkRestored));
    EXPECT_TRUE(WaitFor([&] { return g.motion.State().known; }));
}

TEST(Motion, PresetNamesAreKeptAndChecked) {
    TempDir dir;
    const std::string file = dir.path() + "/cam.presets.json";
    {
        Gateway g({}, {.presets = file, .tours = "", .pose = ""});
        auto events = g.bus.Subscribe(100);
        Result r = g.motion.Absolute(15, -5);
        ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
        ASSERT_TRUE(g.motion.StorePreset(3, "Tür 3 ✓").ok());
        EXPECT_EQ(g.motion.presets().Get(3).pan, 1500);
        const size_t stores = g.sim.Count(kSetPresetPos);
        for (const std::string& bad : {std::string("\xff\xfe"), std::string(65, 'x'), std::string("a\nb")})
            EXPECT_EQ(g.motion.StorePreset(4, bad).status, Status::BadArgument);
        EXPECT_EQ(g.motion.StorePreset(17, "x").status, Status::BadArgument);
        EXPECT_EQ(g.sim.Count(kSetPresetPos), stores);  // refused before anything was sent
        r = g.motion.Absolute(0, 0);
        ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
        r = g.motion.GoPreset(3);
        ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
        const auto all = Collect(*events, [](const auto& a) { return Has(a, EventType::PresetReached); });
        ASSERT_TRUE(Has(all, EventType::PresetReached));
        EXPECT_EQ(Only(all, EventType::PresetReached)[0].preset, 3);
        // Stored again elsewhere by another client of the head: reached all
        // the same, and its new place learned.
        g.sim.Model([](ptzsim::HeadModel& m) { m.State().presets[3] = {true, -500, 200}; });
        events->Drain();
        r = g.motion.GoPreset(3);
        ASSERT_TRUE(g.motion.WaitFinished(r.move, Clock::now() + 20s));
        EXPECT_TRUE(Has(Collect(*events, [](const auto& a) { return Has(a, EventType::PresetReached); }),
                        EventType::PresetReached));
        EXPECT_TRUE(WaitFor([&] { return g.motion.presets().Get(3).pan == -500; }));
        EXPECT_EQ(g.motion.RemovePreset(5).status, Status::NotFound);
        ASSERT_TRUE(g.motion.StorePreset(5, "").ok());
    }
    PresetStore again(file);
    EXPECT_EQ(again.Get(3).name, "Tür 3 ✓");
    EXPECT_EQ(again.Get(3).pan, -500);  // learned
    EXPECT_EQ(again.Get(5).name, "Preset 5");
    EXPECT_EQ(again.FirstFree(), 1);
    // A state file that cannot be written is reported.
    PresetStore nowhere(dir.path() + "/missing/presets.json");
    EXPECT_NE(nowhere.Set(1, "x", std::nullopt, std::nullopt), "");
}

}  // namespace

// A move sent only while the caller's command is still the last: another
// move or a stop in between makes it Superseded, and nothing is sent.
TEST(Motion, AMoveAfterACommandIsDroppedWhenAnotherCameBetween) {
    Gateway g;
    const Result first = g.motion.Absolute(10, 0);
    ASSERT_TRUE(first.ok()) << first.message;
    EXPECT_EQ(g.motion.LastCommand(), first.move);
    const Result mine = g.motion.AbsoluteAfter(first.move, 20, 0);
    ASSERT_TRUE(mine.ok()) << mine.message;
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "a stop between" : "a move between");
        const uint64_t before = g.motion.LastCommand();
        ASSERT_TRUE((stop ? g.motion.Stop() : g.motion.Absolute(-15, 5)).ok());
        const size_t sent = g.sim.Count(kSetPTPos);
        const Result late = g.motion.AbsoluteAfter(before, 40, 0);
        EXPECT_EQ(late.status, Status::Superseded) << late.message;
        EXPECT_EQ(g.sim.Count(kSetPTPos), sent);
    }
}
