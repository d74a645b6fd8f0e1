// Where a head is on the Earth and where it looks: WGS84 latitude,
// longitude and height to local east/north/up, azimuth and elevation, the
// head's own pan and tilt through its orientation (yaw, pitch, roll), the
// ground point a ray meets, and the orientation solved from landmarks.
// Pure arithmetic: no clock, no I/O.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ptzd::geo {

struct Place {
    double lat = 0, lon = 0;  // degrees (WGS84)
    double height = 0;        // metres above the ellipsoid
};

struct Enu {
    double e = 0, n = 0, u = 0;  // metres
};

// How the head stands: yaw is where pan 0 points (degrees clockwise from
// north); pitch tips its pan axis forward (up at pan 0 for a positive pitch);
// roll tips it about the direction of pan 0 (its right side down for a
// positive roll). Pan turns clockwise seen from above, tilt up is positive.
struct Orientation {
    double yaw = 0, pitch = 0, roll = 0;  // degrees
};

struct Look {
    double azimuth = 0;    // degrees clockwise from north, [0, 360)
    double elevation = 0;  // degrees above the horizon
    double range = 0;      // metres
};

struct PanTilt {
    double pan = 0, tilt = 0;  // degrees, pan in (-180, 180]
};

// `target` as seen from `origin`, in metres east, north and up.
Enu ToEnu(const Place& origin, const Place& target);
// The place `offset` metres east/north/up of `origin`.
Place FromEnu(const Place& origin, const Enu& offset);
Look LookAt(const Place& origin, const Place& target);

// The head's pan and tilt that point at azimuth/elevation, and back.
PanTilt ToHead(const Orientation& o, double azimuth, double elevation);
Look FromHead(const Orientation& o, const PanTilt& p);  // range 0

// Where a ray from `origin` along the head's pan/tilt meets the level of
// `groundHeight` (metres above the ellipsoid), on the local tangent plane;
// none when the ray does not go down to it (or is farther than `maxRange`).
std::optional<Place> GroundPoint(const Place& origin, const Orientation& o, const PanTilt& p, double groundHeight,
                                 double maxRange = 50000);

// A landmark: the head looked at `place` with this pan and tilt.
struct Landmark {
    Place place;
    PanTilt seen;
};

struct Calibration {
    Orientation orientation;
    double residual = 0;  // degrees: the root mean square of the angles left between rays and landmarks
    int iterations = 0;
};

// Least squares over yaw, pitch and roll (pitch and roll held at 0 with one
// landmark); "" or why it cannot be solved (no landmark, a landmark at the
// head, too close to tell).
std::string Calibrate(const Place& head, const std::vector<Landmark>& landmarks, Calibration& out);

// "" when lat/lon/height are a place on the Earth.
std::string CheckPlace(const Place& p);

}  // namespace ptzd::geo
