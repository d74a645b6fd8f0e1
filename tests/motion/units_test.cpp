// Units, limits, speeds and the motion keys of the configuration: no head needed.
#include <gtest/gtest.h>

#include <cmath>

#include "config/config.h"
#include "config/motion_keys.h"
#include "motion/units.h"

namespace {

using namespace ptzd::motion;

MotionConfig Calibrated() {
    MotionConfig c;
    c.pan.degreesPerStep = 0.01;  // [[0, -180], [36000, 180]]: zero steps at -180 degrees
    c.pan.degreesAtZero = -180;
    c.pan.min = 0;
    c.pan.max = 36000;
    c.tilt.degreesPerStep = -0.02;  // an axis turned round
    return c;
}

TEST(Units, ConvertBothWays) {
    const Units simulator{MotionConfig{}}, calibrated{Calibrated()};
    struct Row {
        const Units* units;
        Axis axis;
        int32_t steps;
        double degrees, generic;
    } rows[] = {
        {&simulator, Axis::Pan, 0, 0, 0},
        {&simulator, Axis::Pan, 100, 1, 100 / 17000.0},
        {&simulator, Axis::Pan, -17000, -170, -1},
        {&simulator, Axis::Pan, 17000, 170, 1},
        {&simulator, Axis::Tilt, -9000, -90, -1},
        {&simulator, Axis::Tilt, 3000, 30, 1},
        {&simulator, Axis::Tilt, 0, 0, 0.5},
        {&simulator, Axis::Tilt, -1, -0.01, 0.5 - 2.0 / 12000},
        {&calibrated, Axis::Pan, 18000, 0, 0},
        {&calibrated, Axis::Pan, 0, -180, -1},
        {&calibrated, Axis::Pan, 27000, 90, 0.5},
        // Turned round: more steps, fewer degrees; generic follows degrees.
        {&calibrated, Axis::Tilt, -9000, 180, 1},
        {&calibrated, Axis::Tilt, 3000, -60, -1},
        {&calibrated, Axis::Tilt, 0, 0, -0.5},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(AxisName(r.axis)) + " " + std::to_string(r.steps));
        EXPECT_NEAR(r.units->Degrees(r.axis, r.steps), r.degrees, 1e-9);
        EXPECT_EQ(r.units->Steps(r.axis, r.degrees), r.steps);
        EXPECT_NEAR(r.units->Generic(r.axis, r.steps), r.generic, 1e-9);
        EXPECT_EQ(r.units->StepsFromGeneric(r.axis, r.generic), r.steps);
    }
    // Out of range: degrees saturate, generic clamps.
    EXPECT_EQ(simulator.Steps(Axis::Pan, 1e12), INT32_MAX);
    EXPECT_EQ(simulator.Steps(Axis::Pan, NAN), INT32_MIN);
    EXPECT_EQ(simulator.Generic(Axis::Pan, 99999), 1);
    EXPECT_EQ(simulator.StepsFromGeneric(Axis::Pan, -7), -17000);
}

TEST(Units, SoftLimitsAreStepsInsideTheDegrees) {
    MotionConfig c;
    c.pan.limitMin = -90;
    c.pan.limitMax = 45.005;  // between two steps: rounded inwards
    c.tilt.limitMax = 10;     // the other end stays mechanical
    const Units u(c);
    EXPECT_EQ(u.Limits(Axis::Pan).min, -9000);
    EXPECT_EQ(u.Limits(Axis::Pan).max, 4500);
    EXPECT_EQ(u.Limits(Axis::Tilt).min, -9000);
    EXPECT_EQ(u.Limits(Axis::Tilt).max, 1000);
    EXPECT_EQ(u.Clamp(Axis::Pan, 5000), 4500);
    EXPECT_EQ(u.Clamp(Axis::Pan, int64_t{1} << 40), 4500);
    EXPECT_EQ(u.Clamp(Axis::Tilt, -20000), -9000);
    EXPECT_NEAR(u.LimitDegrees(Axis::Pan).max, 45, 1e-9);

    MotionConfig round = Calibrated();
    round.tilt.limitMin = -10;
    round.tilt.limitMax = 20;
    const Units r(round);
    EXPECT_EQ(r.Limits(Axis::Tilt).min, -1000);  // 20 degrees
    EXPECT_EQ(r.Limits(Axis::Tilt).max, 500);    // -10 degrees
    EXPECT_NEAR(r.LimitDegrees(Axis::Tilt).min, -10, 1e-9);
}

TEST(Units, Speeds) {
    const Units u{MotionConfig{}};
    EXPECT_EQ(u.Speed(0), 1);
    EXPECT_EQ(u.Speed(1), 255);
    EXPECT_EQ(u.Speed(0.5), 128);
    EXPECT_EQ(u.Speed(7), 255);
    EXPECT_EQ(u.SignedSpeed(-1), -255);
    EXPECT_EQ(u.SignedSpeed(0.5), 128);
    EXPECT_EQ(u.SignedSpeed(0), 0);
    EXPECT_NEAR(u.SpeedShare(128), 0.5, 1e-9);
    EXPECT_NEAR(u.DegreesPerSecond(Axis::Pan, 100), 50.0, 1e-9);  // 50 steps/s per unit, 0.01 degree a step
    EXPECT_NEAR(u.TravelSeconds(-5000, 100), 1.0, 1e-9);
}

TEST(Units, SpeedsForADurationArriveTogether) {
    const Units u{MotionConfig{}};
    struct Row {
        int64_t pan, tilt;
        double seconds;
    } rows[] = {{12000, 2500, 2}, {-3000, 8000, 1.5}, {500, -6000, 1}, {33000, 12000, 3},
                {300, 9000, 2},   {7000, 0, 1},       {12345, 6789, 1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.pan) + ", " + std::to_string(r.tilt));
        const Units::Speeds s = u.SpeedsFor(r.pan, r.tilt, r.seconds);
        const double pan = u.TravelSeconds(r.pan, s.pan), tilt = u.TravelSeconds(r.tilt, s.tilt);
        if (r.pan != 0 && r.tilt != 0) {
            EXPECT_LE(std::fabs(pan - tilt), 0.05 * r.seconds);
        }
        // On time where the speed range allows it.
        EXPECT_LE(std::fabs(std::max(pan, tilt) - r.seconds), 0.05 * r.seconds);
        EXPECT_NEAR(s.seconds, std::max(pan, tilt), 1e-9);
    }
    // Too short for the fastest speed: as fast as the head goes.
    const Units::Speeds fast = u.SpeedsFor(34000, 100, 0.1);
    EXPECT_EQ(fast.pan, 255);
    EXPECT_NEAR(fast.seconds, 34000 / 12750.0, 1e-9);
}

// The motion keys of a [[head]] table, as ptzd's loader hands them over.
std::vector<std::string> Load(const std::string& text, MotionConfig& c) {
    std::vector<std::string> errors;
    const toml::table table = toml::parse(text);
    for (auto&& [key, node] : table)
        if (!ParseMotionKey(std::string(key.str()), node, c, errors)) errors.push_back("not ours: " + std::string(key.str()));
    ptzd::Mapping mapping;
    FinishMotionConfig(mapping, c, errors);
    return errors;
}

TEST(MotionConfig, KeysOfAHead) {
    MotionConfig c;
    const auto errors = Load("pan_calibration = [[0, 10.0], [9000, 100]]\n"
                             "tilt_degrees_per_step = 0.005\n"
                             "pan_limits = [-100, 100.5]\ntilt_limits = [-20, 10]\n"
                             "poll_moving_hz = 25\npoll_idle_hz = 2\ncontinuous_timeout = 2.5\n"
                             "default_speed = 0.5\nsteps_per_second_per_speed = 40\n",
                             c);
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_NEAR(c.pan.degreesPerStep, 0.01, 1e-12);
    EXPECT_NEAR(c.pan.degreesAtZero, 10, 1e-9);
    EXPECT_EQ(c.tilt.degreesPerStep, 0.005);
    EXPECT_EQ(*c.pan.limitMax, 100.5);
    EXPECT_EQ(c.continuousTimeout, std::chrono::milliseconds(2500));
    EXPECT_EQ(c.pollIdleHz, 2);
    EXPECT_EQ(c.tilt.min, -9000);  // from the mapping
}

TEST(MotionConfig, RefusesWhatCannotWork) {
    struct Row {
        const char* text;
        const char* error;
    } rows[] = {
        {"pan_degrees_per_step = 0", "pan_degrees_per_step must be a number other than 0"},
        {"pan_degrees_per_step = 'x'", "pan_degrees_per_step must be a number"},
        {"tilt_calibration = [[5, 0], [5, 10]]", "tilt_calibration must be two [steps, degrees] pairs"},
        {"pan_limits = [10]", "pan_limits must be [lowest, highest]"},
        {"pan_limits = [20, 10]", "pan_limits: the first limit must be below the second"},
        {"tilt_limits = [-100, 0]", "tilt_limits: -100 degrees is outside the mechanical range -90 to 30 degrees"},
        {"poll_idle_hz = 50", "poll_idle_hz must be between 0.1 and poll_moving_hz"},
        {"continuous_timeout = 0", "continuous_timeout must be between 0.1 and 600 seconds"},
        {"default_speed = 2", "default_speed must be between 0 and 1"},
        {"other = 1", "not ours: other"},
    };
    for (const Row& r : rows) {
        MotionConfig c;
        const auto errors = Load(r.text, c);
        ASSERT_EQ(errors.size(), 1u) << r.text;
        EXPECT_EQ(errors[0].rfind(r.error, 0), 0u) << errors[0];
    }
}

}  // namespace

namespace {

// Through ptzd's own loader: the keys reach the head, mistakes name their line.
TEST(MotionConfig, ReadByTheConfigurationLoader) {
    ptzd::Config config;
    std::vector<std::string> errors;
    ASSERT_TRUE(ptzd::LoadConfigText("[[head]]\nname = \"a\"\nlink = \"tcp:127.0.0.1:4001\"\npan_min = -9000\n"
                                     "pan_limits = [-45, 45]\npoll_idle_hz = 2\n",
                                     "site.toml", config, errors))
        << errors.front();
    const ptzd::motion::MotionConfig& m = config.heads.at(0).motion;
    EXPECT_EQ(m.pan.min, -9000);
    EXPECT_EQ(*m.pan.limitMax, 45);
    EXPECT_EQ(m.pollIdleHz, 2);
    errors.clear();
    ptzd::Config wrong;
    EXPECT_FALSE(ptzd::LoadConfigText("[[head]]\nname = \"a\"\nlink = \"tcp:127.0.0.1:4001\"\n"
                                      "tilt_limits = [-10, 50]\n",
                                      "site.toml", wrong, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "site.toml:1: tilt_limits: 50 degrees is outside the mechanical range -90 to 30 degrees");
}

}  // namespace
