// Tours (order, dwell, loop, pause and resume, cancelled by a manual move,
// kept across a restart) and group moves, against simulated heads.
#include <cmath>
#include <nlohmann/json.hpp>

#include "motion/group.h"
#include "motion_support.h"

namespace {

using namespace motiontest;
using namespace ptzd::motion;

Tour Square(const std::string& name, bool loop, std::chrono::milliseconds dwell) {
    Tour t{name, {}, loop};
    for (auto [pan, tilt] : {std::pair{10.0, 0.0}, std::pair{10.0, 10.0}, std::pair{-10.0, 10.0}})
        t.steps.push_back({0, pan, tilt, std::nullopt, dwell});
    return t;
}

// A looping square tour, started; the head's events from before its start.
std::shared_ptr<ptzd::motion::EventBus::Subscription> StartLoop(Gateway& g, std::chrono::milliseconds dwell) {
    auto events = g.bus.Subscribe(1000);
    EXPECT_TRUE(g.motion.PutTour(Square("loop", true, dwell)).ok());
    EXPECT_TRUE(g.motion.StartTour("loop").ok());
    return events;
}

TEST(Tours, StepsInOrderWithTheirDwell) {
    Gateway g;
    auto events = g.bus.Subscribe(1000);
    const auto dwell = 300ms;
    ASSERT_TRUE(g.motion.PutTour(Square("square", false, dwell)).ok());
    ASSERT_TRUE(g.motion.StartTour("square").ok());
    const auto all = Until(*events, [](const Event& e) { return e.type == EventType::TourStopped; });
    const auto steps = Only(all, EventType::TourStep);
    ASSERT_EQ(steps.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(steps[i].step, i);
    ASSERT_EQ(Only(all, EventType::TourStopped).size(), 1u);
    EXPECT_EQ(Only(all, EventType::TourStopped)[0].reason, "finished");
    // Each step's move arrived, and the next began a dwell later.
    const auto finished = Only(all, EventType::MoveFinished);
    ASSERT_EQ(finished.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(finished[i].reason, "arrived");
    for (int i = 0; i < 2; ++i) EXPECT_GE(steps[i + 1].monotonic - finished[i].monotonic, dwell - 5ms);
    EXPECT_GE(Only(all, EventType::TourStopped)[0].monotonic - finished[2].monotonic, dwell - 5ms);
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{-1000, 1000}));
    EXPECT_EQ(g.motion.CurrentTour().state, TourState::Idle);
}

TEST(Tours, LoopPauseResumeStop) {
    Gateway g;
    auto events = StartLoop(g, 150ms);
    // Round two begins with step one again.
    auto all = Until(*events, [](const Event& e) { return e.type == EventType::TourStep && e.round == 1; });
    ASSERT_EQ(Only(all, EventType::TourStep).back().step, 0);

    ASSERT_TRUE(g.motion.PauseTour().ok());
    EXPECT_EQ(g.motion.CurrentTour().state, TourState::Paused);
    EXPECT_TRUE(WaitFor([&] { return !g.sim.Moving(); }));
    events->Drain();
    // Longer than a step and its dwell: nothing goes on while paused.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(Only(events->Drain(), EventType::TourStep).empty());
    EXPECT_FALSE(g.sim.Moving());

    ASSERT_TRUE(g.motion.ResumeTour().ok());
    all = Until(*events, [](const Event& e) { return e.type == EventType::TourStep; });
    ASSERT_FALSE(Only(all, EventType::TourStep).empty());
    ASSERT_TRUE(g.motion.StopTour().ok());
    all = Until(*events, [](const Event& e) { return e.type == EventType::TourStopped; });
    ASSERT_EQ(Only(all, EventType::TourStopped).size(), 1u);
    EXPECT_EQ(Only(all, EventType::TourStopped)[0].reason, "stopped");
    EXPECT_TRUE(WaitFor([&] { return !g.sim.Moving(); }));
    EXPECT_EQ(g.motion.PauseTour().status, Status::NotFound);
}

TEST(Tours, AManualMoveStopsTheTour) {
    Gateway g;
    auto events = StartLoop(g, 100ms);
    Until(*events, [](const Event& e) { return e.type == EventType::TourStep && e.step == 1; });
    const Result manual = g.motion.Absolute(-40, -20);
    ASSERT_TRUE(manual.ok()) << manual.message;
    auto all = Until(*events, [&](const Event& e) { return e.type == EventType::MoveFinished && e.generation == manual.move; });
    ASSERT_EQ(Only(all, EventType::TourStopped).size(), 1u);
    EXPECT_EQ(Only(all, EventType::TourStopped)[0].reason, "manual move");
    EXPECT_EQ(g.sim.Position(), (std::pair<int32_t, int32_t>{-4000, -2000}));
    EXPECT_TRUE(Only(all, EventType::TourStep).empty());
    EXPECT_EQ(g.motion.CurrentTour().state, TourState::Idle);
}

TEST(Tours, KeptAcrossARestartAndChecked) {
    TempDir dir;
    const Motion::Files files{.presets = "", .tours = dir.path() + "/cam.tours.json", .pose = ""};
    MotionConfig c;
    c.pan.limitMin = -50;
    c.pan.limitMax = 50;
    Tour withPreset{"gate", {{4, 0, 0, 0.5, 2500ms}, {0, 12.5, -3, std::nullopt, 0ms}}, true};
    {
        Gateway g(c, files);
        ASSERT_TRUE(g.motion.PutTour(Square("square", false, 100ms)).ok());
        ASSERT_TRUE(g.motion.PutTour(withPreset).ok());
        ASSERT_TRUE(g.motion.StartTour("square").ok());
        // Refused: outside the limits, no steps, a bad name, a bad preset.
        EXPECT_EQ(g.motion.PutTour({"far", {{0, 60, 0, std::nullopt, 0ms}}, false}).status, Status::BadArgument);
        EXPECT_EQ(g.motion.PutTour({"empty", {}, false}).status, Status::BadArgument);
        EXPECT_EQ(g.motion.PutTour({"\xc3", {{0, 0, 0, std::nullopt, 0ms}}, false}).status, Status::BadArgument);
        EXPECT_EQ(g.motion.PutTour({"p", {{17, 0, 0, std::nullopt, 0ms}}, false}).status, Status::BadArgument);
        EXPECT_EQ(g.motion.StartTour("none").status, Status::NotFound);
    }
    Gateway g(c, files);
    const auto tours = g.motion.Tours();
    ASSERT_EQ(tours.size(), 2u);
    EXPECT_EQ(TourJson(tours[0]), TourJson(Square("square", false, 100ms)));
    EXPECT_EQ(TourJson(tours[1]), TourJson(withPreset));
    EXPECT_EQ(g.motion.CurrentTour().state, TourState::Idle);  // never running after a restart
    ASSERT_TRUE(g.motion.RemoveTour("gate").ok());
    EXPECT_EQ(g.motion.RemoveTour("gate").status, Status::NotFound);
    // The JSON shape front ends send.
    Tour parsed;
    EXPECT_EQ(TourFromJson(nlohmann::json::parse(R"({"name":"x","steps":[{"preset":2,"dwell":1.5}]})"), parsed), "");
    EXPECT_EQ(parsed.steps[0].dwell, 1500ms);
    EXPECT_NE(TourFromJson(nlohmann::json::parse(R"({"name":"x","steps":[{"preset":2,"pan":1}]})"), parsed), "");
    EXPECT_NE(TourFromJson(nlohmann::json::parse(R"({"name":"x","steps":[{"dwell":-1,"pan":1,"tilt":0}]})"), parsed), "");
    EXPECT_NE(TourFromJson(nlohmann::json::parse(R"({"name":"x","colour":1})"), parsed), "");
}

// Two heads, long and short ways, a position and a preset: every axis of
// both arrives within 5 % of the move's time of every other, at the heads.
TEST(GroupMoves, AllArriveTogether) {
    Gateway left({}, {}, "left"), right({}, {}, "right");
    // The right head's preset 6, stored here at (-30, -60).
    Result r = right.motion.Absolute(-30, -60);
    ASSERT_TRUE(right.motion.WaitFinished(r.move, Clock::now() + 20s));
    ASSERT_TRUE(right.motion.StorePreset(6, "far corner").ok());
    r = right.motion.Absolute(10, 0);
    ASSERT_TRUE(right.motion.WaitFinished(r.move, Clock::now() + 20s));

    const auto start = Clock::now();
    const GroupResult group = MoveTogether({{&left.motion, 150, 25, 0}, {&right.motion, std::nullopt, std::nullopt, 6}},
                                           {.speed = 0.5, .duration = std::nullopt, .tiltSpeed = std::nullopt});
    ASSERT_EQ(group.status, Status::Ok) << group.message;
    std::optional<SimulatedHead::Arrivals> a, b;
    std::thread watch([&] { b = right.sim.WatchArrival(-3000, -6000); });
    a = left.sim.WatchArrival(15000, 2500);
    watch.join();
    ASSERT_TRUE(a->pan && a->tilt && b->pan && b->tilt);
    const std::vector<Clock::time_point> times{*a->pan, *a->tilt, *b->pan, *b->tilt};
    const auto [first, last] = std::minmax_element(times.begin(), times.end());
    const double spread = std::chrono::duration<double>(*last - *first).count();
    std::printf("group move: %.0f ms planned, %.0f ms taken, arrivals %.1f ms apart\n", group.seconds * 1000,
                std::chrono::duration<double>(*last - start).count() * 1000, spread * 1000);
    EXPECT_LE(spread, 0.05 * group.seconds);
    // The long way at half speed sets the pace: 15000 steps at speed 128.
    EXPECT_NEAR(group.seconds, 15000 / (50.0 * 128), 0.05);

    // Refused whole before anything moves.
    EXPECT_EQ(MoveTogether({{&left.motion, 1, 1, 0}, {&left.motion, 2, 2, 0}}).status, Status::BadArgument);
    EXPECT_EQ(MoveTogether({{&left.motion, 1, 1, 3}}).status, Status::BadArgument);
    EXPECT_EQ(MoveTogether({}).status, Status::BadArgument);
}

// The same rules for a group as for one head: at the slowest speed across
// the whole range (longer than any duration a client may give), both go.
TEST(GroupMoves, AsSlowAsOneHeadAlone) {
    Gateway left({}, {}, "left"), right({}, {}, "right");
    const Pace slowest{.speed = 0.0, .duration = std::nullopt, .tiltSpeed = std::nullopt};
    left.sim.Model([](ptzsim::HeadModel& m) { m.State().motorPosition[0] = m.State().motorTarget[0] = 17000; });
    right.sim.Model([](ptzsim::HeadModel& m) { m.State().motorPosition[0] = m.State().motorTarget[0] = -17000; });
    Result alone = left.motion.Estimate(-170, 0, 0, 0.0);
    ASSERT_TRUE(alone.ok());
    const GroupResult group = MoveTogether({{&left.motion, -170, 0, 0}, {&right.motion, 170, 0, 0}}, slowest);
    ASSERT_EQ(group.status, Status::Ok) << group.message;
    EXPECT_GT(group.seconds, 600);
    EXPECT_NEAR(group.seconds, alone.seconds, 1);
    EXPECT_TRUE(left.motion.Stop().ok());
    EXPECT_TRUE(right.motion.Stop().ok());
}

}  // namespace
