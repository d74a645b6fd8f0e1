// The geometry: places to east/north/up and back, azimuth and elevation to
// the head's pan and tilt and back, the ground point of a ray, and the
// orientation solved from landmarks.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "geo/geo.h"

namespace {

using namespace ptzd::geo;

TEST(Geo, PlacesGoToEastNorthUpAndBack) {
    const Place origins[] = {{0, 0, 0}, {48.2, 16.37, 180}, {-33.9, 151.2, 40}, {69.6, 18.9, 1200}, {-0.5, -179.9, 10}};
    const Enu offsets[] = {{1000, 0, 0}, {0, 1000, 0}, {0, 0, 50}, {-2500, 7300, -20}, {30000, -40000, 900}};
    for (const Place& o : origins)
        for (const Enu& d : offsets) {
            const Place p = FromEnu(o, d);
            const Enu back = ToEnu(o, p);
            EXPECT_NEAR(back.e, d.e, 1e-4);
            EXPECT_NEAR(back.n, d.n, 1e-4);
            EXPECT_NEAR(back.u, d.u, 1e-4);
        }
    // Due north 1 km on the ellipsoid: azimuth 0, just below the horizon
    // (the Earth curves away: about 0.0045 degrees at 1 km).
    const Place o{45, 7, 0};
    const Look l = LookAt(o, FromEnu(o, {0, 1000, -1000.0 * 1000 / (2 * 6371000)}));
    EXPECT_NEAR(l.azimuth, 0, 1e-6);
    EXPECT_NEAR(l.elevation, -0.0045, 2e-4);
    EXPECT_NEAR(l.range, 1000, 1e-3);
}

TEST(Geo, PanAndTiltAreTheOrientationsInverse) {
    const Orientation orientations[] = {{0, 0, 0}, {90, 0, 0}, {-135, 3, -2}, {12.5, -7, 4}, {179, 1, 1}};
    for (const Orientation& o : orientations)
        for (double az : {0.0, 45.0, 170.0, 200.0, 359.0})
            for (double el : {-30.0, -1.0, 0.0, 10.0, 60.0}) {
                const PanTilt p = ToHead(o, az, el);
                const Look back = FromHead(o, p);
                EXPECT_NEAR(std::remainder(back.azimuth - az, 360), 0, 1e-9) << o.yaw << " " << az << " " << el;
                EXPECT_NEAR(back.elevation, el, 1e-9);
            }
    // Level head, yaw 30: azimuth 30 is pan 0; 120 is pan 90 (clockwise).
    EXPECT_NEAR(ToHead({30, 0, 0}, 30, 5).pan, 0, 1e-9);
    EXPECT_NEAR(ToHead({30, 0, 0}, 120, 0).pan, 90, 1e-9);
    EXPECT_NEAR(ToHead({30, 0, 0}, 30, 5).tilt, 5, 1e-9);
    // Pitched up 10: the horizon ahead is 10 below the head's level.
    EXPECT_NEAR(ToHead({0, 10, 0}, 0, 0).tilt, -10, 1e-9);
}

TEST(Geo, TheGroundPointOfARay) {
    const Place head{47, 8, 500};
    // 45 degrees down from 100 m above the ground: 100 m out.
    const auto g = GroundPoint(head, {0, 0, 0}, {0, -45}, 400);
    ASSERT_TRUE(g);
    const Enu d = ToEnu(head, *g);
    EXPECT_NEAR(d.n, 100, 0.05);
    EXPECT_NEAR(g->height, 400, 1e-3);
    EXPECT_FALSE(GroundPoint(head, {0, 0, 0}, {0, 5}, 400));    // above the horizon
    EXPECT_FALSE(GroundPoint(head, {0, 0, 0}, {0, -10}, 600));  // the ground above the head
    EXPECT_FALSE(GroundPoint(head, {0, 0, 0}, {0, -0.01}, 400, 50000));  // beyond the range
}

TEST(Geo, CalibrationRecoversTheOrientationFromNoisyLandmarks) {
    const Place head{52.5, 13.4, 60};
    const Orientation truth{37.5, 2.5, -1.5};
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, 0.02);  // degrees: a careful aim at a far landmark
    std::vector<Landmark> marks;
    for (const Enu& d : {Enu{1200, 3100, 15}, Enu{-2500, 400, -30}, Enu{300, -1800, 80}}) {
        const Place p = FromEnu(head, d);
        const Look l = LookAt(head, p);
        PanTilt seen = ToHead(truth, l.azimuth, l.elevation);
        seen.pan += noise(random);
        seen.tilt += noise(random);
        marks.push_back({p, seen});
    }
    Calibration c;
    ASSERT_EQ(Calibrate(head, marks, c), "");
    EXPECT_NEAR(c.orientation.yaw, truth.yaw, 0.1);
    EXPECT_NEAR(c.orientation.pitch, truth.pitch, 0.1);
    EXPECT_NEAR(c.orientation.roll, truth.roll, 0.1);
    EXPECT_LT(c.residual, 0.05);
    // One landmark: the yaw alone.
    ASSERT_EQ(Calibrate(head, {marks[0]}, c), "");
    EXPECT_NEAR(c.orientation.pitch, 0, 1e-12);
    // Refused: none, one at the head, a place off the Earth.
    EXPECT_NE(Calibrate(head, {}, c), "");
    EXPECT_NE(Calibrate(head, {{head, {0, 0}}}, c), "");
    EXPECT_NE(Calibrate(head, {{{91, 0, 0}, {0, 0}}}, c), "");
}

}  // namespace
