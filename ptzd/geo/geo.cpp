#include "geo/geo.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace ptzd::geo {

namespace {

constexpr double kA = 6378137.0;                  // WGS84 semi-major axis, metres
constexpr double kF = 1 / 298.257223563;          // flattening
constexpr double kE2 = kF * (2 - kF);             // first eccentricity squared
constexpr double kDeg = 3.14159265358979323846 / 180;

struct V3 {
    double x = 0, y = 0, z = 0;
};
V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 operator*(double k, V3 a) { return {k * a.x, k * a.y, k * a.z}; }
double Dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double Norm(V3 a) { return std::sqrt(Dot(a, a)); }

V3 Ecef(const Place& p) {
    const double lat = p.lat * kDeg, lon = p.lon * kDeg;
    const double n = kA / std::sqrt(1 - kE2 * std::sin(lat) * std::sin(lat));
    return {(n + p.height) * std::cos(lat) * std::cos(lon), (n + p.height) * std::cos(lat) * std::sin(lon),
            (n * (1 - kE2) + p.height) * std::sin(lat)};
}

Place Geodetic(V3 x) {
    Place out;
    const double p = std::hypot(x.x, x.y);
    out.lon = std::atan2(x.y, x.x) / kDeg;
    double lat = std::atan2(x.z, p * (1 - kE2));
    double h = 0;
    for (int i = 0; i < 8; ++i) {
        const double n = kA / std::sqrt(1 - kE2 * std::sin(lat) * std::sin(lat));
        h = p / std::cos(lat) - n;
        lat = std::atan2(x.z, p * (1 - kE2 * n / (n + h)));
    }
    out.lat = lat / kDeg;
    out.height = h;
    return out;
}

// The east, north and up directions at a place, in ECEF.
std::array<V3, 3> Axes(const Place& o) {
    const double lat = o.lat * kDeg, lon = o.lon * kDeg;
    return {V3{-std::sin(lon), std::cos(lon), 0},
            V3{-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon), std::cos(lat)},
            V3{std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)}};
}

// The head's forward (pan 0, tilt 0), right and up, in east/north/up.
struct Frame {
    V3 forward, right, up;
};
Frame FrameOf(const Orientation& o) {
    const double y = o.yaw * kDeg, p = o.pitch * kDeg, r = o.roll * kDeg;
    const V3 f0{std::sin(y), std::cos(y), 0}, r0{std::cos(y), -std::sin(y), 0}, u0{0, 0, 1};
    const V3 f1 = std::cos(p) * f0 + std::sin(p) * u0, u1 = std::cos(p) * u0 - std::sin(p) * f0;
    return {f1, std::cos(r) * r0 - std::sin(r) * u1, std::cos(r) * u1 + std::sin(r) * r0};
}

V3 Direction(double azimuth, double elevation) {
    const double a = azimuth * kDeg, e = elevation * kDeg;
    return {std::cos(e) * std::sin(a), std::cos(e) * std::cos(a), std::sin(e)};
}

V3 HeadDirection(const Orientation& o, const PanTilt& pt) {
    const Frame f = FrameOf(o);
    const double p = pt.pan * kDeg, t = pt.tilt * kDeg;
    return (std::cos(t) * std::cos(p)) * f.forward + (std::cos(t) * std::sin(p)) * f.right + std::sin(t) * f.up;
}

double Angle(V3 a, V3 b) { return std::acos(std::clamp(Dot(a, b) / (Norm(a) * Norm(b)), -1.0, 1.0)) / kDeg; }

}  // namespace

Enu ToEnu(const Place& origin, const Place& target) {
    const V3 d = Ecef(target) - Ecef(origin);
    const auto ax = Axes(origin);
    return {Dot(d, ax[0]), Dot(d, ax[1]), Dot(d, ax[2])};
}

Place FromEnu(const Place& origin, const Enu& offset) {
    const auto ax = Axes(origin);
    return Geodetic(Ecef(origin) + offset.e * ax[0] + offset.n * ax[1] + offset.u * ax[2]);
}

Look LookAt(const Place& origin, const Place& target) {
    const Enu d = ToEnu(origin, target);
    Look l;
    l.range = std::sqrt(d.e * d.e + d.n * d.n + d.u * d.u);
    l.azimuth = std::fmod(std::atan2(d.e, d.n) / kDeg + 360, 360);
    l.elevation = std::atan2(d.u, std::hypot(d.e, d.n)) / kDeg;
    return l;
}

PanTilt ToHead(const Orientation& o, double azimuth, double elevation) {
    const Frame f = FrameOf(o);
    const V3 v = Direction(azimuth, elevation);
    const double fw = Dot(v, f.forward), r = Dot(v, f.right), u = Dot(v, f.up);
    return {std::atan2(r, fw) / kDeg, std::atan2(u, std::hypot(fw, r)) / kDeg};
}

Look FromHead(const Orientation& o, const PanTilt& p) {
    const V3 v = HeadDirection(o, p);
    Look l;
    l.azimuth = std::fmod(std::atan2(v.x, v.y) / kDeg + 360, 360);
    l.elevation = std::atan2(v.z, std::hypot(v.x, v.y)) / kDeg;
    return l;
}

std::optional<Place> GroundPoint(const Place& origin, const Orientation& o, const PanTilt& p, double groundHeight,
                                 double maxRange) {
    const V3 v = HeadDirection(o, p);
    if (v.z >= -1e-6) return std::nullopt;  // level or up: it never meets the ground
    // On the tangent plane first, then along the ray to the real height
    // (the Earth curves away by about d²/2R: 8 m at 10 km).
    double t = (groundHeight - origin.height) / v.z;
    if (!(t > 0)) return std::nullopt;
    Place at;
    for (int i = 0; i < 6; ++i) {
        at = FromEnu(origin, {t * v.x, t * v.y, t * v.z});
        t -= (at.height - groundHeight) / v.z;
        if (!(t > 0) || t > maxRange) return std::nullopt;
    }
    return FromEnu(origin, {t * v.x, t * v.y, t * v.z});
}

std::string CheckPlace(const Place& p) {
    if (!std::isfinite(p.lat) || p.lat < -90 || p.lat > 90) return "latitude must be a number from -90 to 90";
    if (!std::isfinite(p.lon) || p.lon < -180 || p.lon > 180) return "longitude must be a number from -180 to 180";
    if (!std::isfinite(p.height) || p.height < -12000 || p.height > 100000)
        return "height must be metres above the ellipsoid, from -12000 to 100000";
    return "";
}

std::string Calibrate(const Place& head, const std::vector<Landmark>& landmarks, Calibration& out) {
    if (landmarks.empty()) return "calibration needs at least one landmark";
    std::vector<V3> seen, toward;
    for (const Landmark& l : landmarks) {
        if (auto why = CheckPlace(l.place); !why.empty()) return "a landmark's " + why;
        const Look look = LookAt(head, l.place);
        if (look.range < 1) return "a landmark is where the head is";
        toward.push_back(Direction(look.azimuth, look.elevation));
        seen.push_back({std::cos(l.seen.tilt * kDeg) * std::cos(l.seen.pan * kDeg),
                        std::cos(l.seen.tilt * kDeg) * std::sin(l.seen.pan * kDeg), std::sin(l.seen.tilt * kDeg)});
    }
    const int unknowns = landmarks.size() == 1 ? 1 : 3;
    // Each landmark's direction in the head's frame, against what was seen.
    auto residuals = [&](const std::array<double, 3>& x, std::vector<double>& r) {
        const Frame f = FrameOf({x[0], x[1], x[2]});
        r.clear();
        for (size_t i = 0; i < toward.size(); ++i) {
            const V3 v{Dot(toward[i], f.forward), Dot(toward[i], f.right), Dot(toward[i], f.up)};
            const V3 d = v - seen[i];
            r.insert(r.end(), {d.x, d.y, d.z});
        }
    };
    std::array<double, 3> x{};
    {
        const Look first = LookAt(head, landmarks[0].place);
        x[0] = first.azimuth - landmarks[0].seen.pan;
    }
    std::vector<double> r, rp, rm;
    out.iterations = 0;
    for (int iteration = 0; iteration < 100; ++iteration) {
        out.iterations = iteration + 1;
        residuals(x, r);
        // The Jacobian by central differences, then the normal equations.
        std::vector<std::array<double, 3>> j(r.size());
        for (int k = 0; k < unknowns; ++k) {
            auto up = x, down = x;
            up[static_cast<size_t>(k)] += 1e-5;
            down[static_cast<size_t>(k)] -= 1e-5;
            residuals(up, rp);
            residuals(down, rm);
            for (size_t i = 0; i < r.size(); ++i) j[i][static_cast<size_t>(k)] = (rp[i] - rm[i]) / 2e-5;
        }
        double a[3][4] = {};
        for (int p = 0; p < unknowns; ++p) {
            for (int q = 0; q < unknowns; ++q)
                for (size_t i = 0; i < r.size(); ++i) a[p][q] += j[i][static_cast<size_t>(p)] * j[i][static_cast<size_t>(q)];
            for (size_t i = 0; i < r.size(); ++i) a[p][3] -= j[i][static_cast<size_t>(p)] * r[i];
        }
        // Gaussian elimination with partial pivoting.
        double scale = 0;
        for (int p = 0; p < unknowns; ++p) scale = std::max(scale, std::fabs(a[p][p]));
        for (int c = 0; c < unknowns; ++c) {
            int pivot = c;
            for (int p = c + 1; p < unknowns; ++p)
                if (std::fabs(a[p][c]) > std::fabs(a[pivot][c])) pivot = p;
            if (std::fabs(a[pivot][c]) <= 1e-9 * std::max(scale, 1e-12))
                return "the landmarks lie in nearly one direction from the head: pitch and roll cannot be told apart; "
                       "add one in another direction";
            for (int k = 0; k < 4; ++k) std::swap(a[c][k], a[pivot][k]);
            for (int p = 0; p < unknowns; ++p) {
                if (p == c) continue;
                const double m = a[p][c] / a[c][c];
                for (int k = c; k < 4; ++k) a[p][k] -= m * a[c][k];
            }
        }
        double step = 0;
        for (int p = 0; p < unknowns; ++p) {
            const double dx = a[p][3] / a[p][p];
            x[static_cast<size_t>(p)] += dx;
            step = std::max(step, std::fabs(dx));
        }
        if (step < 1e-10) break;
    }
    out.orientation = {std::fmod(x[0] + 540, 360) - 180, x[1], x[2]};
    double sum = 0;
    const Frame f = FrameOf(out.orientation);
    for (size_t i = 0; i < toward.size(); ++i) {
        const V3 v{Dot(toward[i], f.forward), Dot(toward[i], f.right), Dot(toward[i], f.up)};
        const double angle = Angle(v, seen[i]);
        sum += angle * angle;
    }
    out.residual = std::sqrt(sum / static_cast<double>(toward.size()));
    if (!std::isfinite(out.residual)) return "the calibration did not converge";
    return "";
}

}  // namespace ptzd::geo
