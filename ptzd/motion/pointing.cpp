// Pointing at the world: a head's place and orientation, geo moves, what
// it looks at, landmarks and their calibration.
#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "infra/log.h"
#include "infra/state_file.h"
#include "motion/motion.h"

namespace ptzd::motion {

namespace {

using nlohmann::json;

Result Refused(const std::string& why) {
    Result r;
    r.status = Status::BadArgument;
    r.message = why;
    return r;
}

json PlaceJson(const geo::Place& p) { return json::array({p.lat, p.lon, p.height}); }

std::optional<geo::Place> PlaceOf(const json& j) {
    if (!j.is_array() || j.size() != 3) return std::nullopt;
    for (const json& v : j)
        if (!v.is_number()) return std::nullopt;
    const geo::Place p{j[0].get<double>(), j[1].get<double>(), j[2].get<double>()};
    if (!geo::CheckPlace(p).empty()) return std::nullopt;
    return p;
}

bool Same(const geo::Place& a, const geo::Place& b) {
    return std::fabs(a.lat - b.lat) <= 1e-9 && std::fabs(a.lon - b.lon) <= 1e-9 && std::fabs(a.height - b.height) <= 1e-6;
}

bool Same(const std::optional<GeoPose>& a, const std::optional<geo::Place>& b) {
    return a.has_value() == b.has_value() && (!a || Same(a->place, *b));
}

double Number(const json& j, const char* key) {
    return j.is_object() && j.contains(key) && j[key].is_number() ? j[key].get<double>() : NAN;
}

json PoseJson(const GeoPose& p) {
    return json{{"place", PlaceJson(p.place)},
                {"yaw", p.orientation.yaw},
                {"pitch", p.orientation.pitch},
                {"roll", p.orientation.roll},
                {"ground", p.groundHeight ? json(*p.groundHeight) : json(nullptr)},
                {"calibrated", p.calibrated},
                {"residual", p.residual}};
}

std::optional<GeoPose> PoseOf(const json& j) {
    if (!j.is_object()) return std::nullopt;
    const auto place = PlaceOf(j.value("place", json()));
    GeoPose p;
    p.orientation = {Number(j, "yaw"), Number(j, "pitch"), Number(j, "roll")};
    if (!place || !std::isfinite(p.orientation.yaw) || !std::isfinite(p.orientation.pitch) || !std::isfinite(p.orientation.roll))
        return std::nullopt;
    p.place = *place;
    if (const double g = Number(j, "ground"); std::isfinite(g)) p.groundHeight = g;
    p.calibrated = j.value("calibrated", json(false)).is_boolean() && j.value("calibrated", false);
    p.residual = std::isfinite(Number(j, "residual")) ? Number(j, "residual") : 0;
    return p;
}

// What the pose file says, when it still holds for the configured pose.
// {"configured": [lat, lon, height] or null, "pose": {...} or null}: the
// pose set or calibrated while the gateway ran, over the configured one it
// replaced (a location changed in the configuration since wins). Written
// by earlier versions: a calibration alone, {"yaw", "pitch", "roll",
// "residual", "place"}, for the place it was solved at.
std::optional<std::optional<GeoPose>> Load(const std::string& file, const std::optional<GeoPose>& configured) {
    std::string text;
    if (file.empty() || LoadStateFile(file, text) != StateRead::Read) return std::nullopt;
    const json j = json::parse(text, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    if (j.contains("configured")) {
        if (!Same(configured, j["configured"].is_null() ? std::nullopt : PlaceOf(j["configured"]))) return std::nullopt;
        if (!j.contains("pose") || j["pose"].is_null()) return std::optional<GeoPose>();
        if (auto p = PoseOf(j["pose"])) return std::optional<GeoPose>(p);
        return std::nullopt;
    }
    const auto at = PlaceOf(j.value("place", json()));
    if (!configured || !at || !Same(*at, configured->place)) return std::nullopt;
    GeoPose pose = *configured;
    pose.orientation = {Number(j, "yaw"), Number(j, "pitch"), Number(j, "roll")};
    pose.residual = Number(j, "residual");
    if (!std::isfinite(pose.orientation.yaw) || !std::isfinite(pose.orientation.pitch) || !std::isfinite(pose.orientation.roll))
        return std::nullopt;
    pose.calibrated = true;
    return std::optional<GeoPose>(pose);
}

}  // namespace

void Motion::SetPose(std::optional<GeoPose> pose) {
    std::lock_guard lock(poseMutex_);
    configuredPlace_ = pose ? std::optional(pose->place) : std::nullopt;
    if (auto kept = Load(poseFile_, pose)) {
        if (!*kept)
            Log(Level::Info, "head " + name() + ": no location (it was deleted while the gateway ran)");
        else if ((*kept)->calibrated)
            Log(Level::Info, "head " + name() + ": orientation from its calibration (residual " +
                                 std::to_string((*kept)->residual) + " degrees)");
        else
            Log(Level::Info, "head " + name() + ": the location set while the gateway ran");
        pose = *kept;
    }
    pose_ = pose;
}

Result Motion::SavePose() {
    Result r;
    if (poseFile_.empty()) return r;
    const json j{{"configured", configuredPlace_ ? PlaceJson(*configuredPlace_) : json(nullptr)},
                 {"pose", pose_ ? PoseJson(*pose_) : json(nullptr)}};
    if (auto why = WriteStateFile(poseFile_, j.dump()); !why.empty()) {
        r.status = Status::StateFailed;
        r.message = "not kept: " + why;
    }
    return r;
}

Result Motion::SetLocation(std::optional<GeoPose> pose) {
    if (pose) {
        if (auto why = geo::CheckPlace(pose->place); !why.empty()) return Refused(why);
        const geo::Orientation& o = pose->orientation;
        if (!std::isfinite(o.yaw) || !std::isfinite(o.pitch) || !std::isfinite(o.roll) || std::fabs(o.yaw) > 360 ||
            std::fabs(o.pitch) > 90 || std::fabs(o.roll) > 90)
            return Refused("yaw is from -360 to 360 degrees, pitch and roll from -90 to 90");
        if (pose->groundHeight && (!std::isfinite(*pose->groundHeight) || std::fabs(*pose->groundHeight) > 20000))
            return Refused("the ground height is from -20000 to 20000 metres");
    }
    std::lock_guard lock(poseMutex_);
    // Landmarks aimed at from another place no longer tell how it stands.
    if (!pose || !pose_ || !Same(pose->place, pose_->place)) landmarks_.clear();
    pose_ = pose;
    return SavePose();
}

std::optional<GeoPose> Motion::Pose() const {
    std::lock_guard lock(poseMutex_);
    return pose_;
}

std::optional<geo::PanTilt> Motion::Aim(const geo::Place& target, std::string& why, std::optional<Box> within) const {
    if (why = geo::CheckPlace(target); !why.empty()) return std::nullopt;
    const std::optional<GeoPose> pose = Pose();
    if (!pose) {
        why = "this head has no location: give it location = [lat, lon, height]";
        return std::nullopt;
    }
    const geo::Look look = geo::LookAt(pose->place, target);
    if (look.range < 0.5) {
        why = "the target is where the head is";
        return std::nullopt;
    }
    const geo::PanTilt p = geo::ToHead(pose->orientation, look.azimuth, look.elevation);
    Range pan = units().LimitDegrees(Axis::Pan), tilt = units().LimitDegrees(Axis::Tilt);
    if (within) {
        pan = {std::max(pan.min, within->pan.min), std::min(pan.max, within->pan.max)};
        tilt = {std::max(tilt.min, within->tilt.min), std::min(tilt.max, within->tilt.max)};
    }
    // Pan is taken as the head turns: the target's pan, or the same
    // direction a turn away where the head's range allows it; of two, the
    // nearer to where the head is (a target crossing behind a head of more
    // than a turn is not chased the long way round).
    const Snapshot now = State();
    std::optional<double> best;
    if (p.tilt >= tilt.min && p.tilt <= tilt.max)
        for (double alt : {p.pan, p.pan - 360, p.pan + 360})
            if (alt >= pan.min && alt <= pan.max &&
                (!best || (now.known && std::fabs(alt - now.pan) < std::fabs(*best - now.pan))))
                best = alt;
    if (best) return geo::PanTilt{*best, p.tilt};
    char text[200];
    std::snprintf(text, sizeof text, "the target is at pan %.2f, tilt %.2f: outside the limits (pan %.2f to %.2f, tilt %.2f to %.2f)",
                  p.pan, p.tilt, pan.min, pan.max, tilt.min, tilt.max);
    why = text;
    return std::nullopt;
}

Result Motion::PointAt(const geo::Place& target, const Pace& pace, std::optional<Box> within) {
    std::string why;
    const std::optional<geo::PanTilt> aim = Aim(target, why, within);
    if (!aim) return Refused(why);
    return Absolute(aim->pan, aim->tilt, pace);
}

std::optional<Motion::Looking> Motion::LookingAt() {
    const std::optional<GeoPose> pose = Pose();
    const Snapshot s = State();
    if (!pose || !s.known) return std::nullopt;
    Looking out;
    out.look = geo::FromHead(pose->orientation, {s.pan, s.tilt});
    if (pose->groundHeight) out.ground = geo::GroundPoint(pose->place, pose->orientation, {s.pan, s.tilt}, *pose->groundHeight);
    return out;
}

Result Motion::AddLandmark(const geo::Place& place) {
    if (auto why = geo::CheckPlace(place); !why.empty()) return Refused(why);
    if (!Pose()) return Refused("this head has no location: give it location = [lat, lon, height]");
    const Snapshot s = FirstReading(std::chrono::seconds(1));
    if (!s.linkUp || !s.known) {
        Result r;
        r.status = Status::LinkDown;
        r.message = "the head's position is not known";
        return r;
    }
    if (s.moving) return Refused("the head is moving: aim it at the landmark and let it rest first");
    std::lock_guard lock(poseMutex_);
    if (landmarks_.size() >= kMaxLandmarks) landmarks_.erase(landmarks_.begin());
    landmarks_.push_back({place, {s.pan, s.tilt}});
    Result r;
    r.pan = s.pan;
    r.tilt = s.tilt;
    return r;
}

std::vector<geo::Landmark> Motion::Landmarks() const {
    std::lock_guard lock(poseMutex_);
    return landmarks_;
}

void Motion::ClearLandmarks() {
    std::lock_guard lock(poseMutex_);
    landmarks_.clear();
}

Result Motion::Calibrate(geo::Calibration& out) {
    std::lock_guard lock(poseMutex_);
    if (!pose_) return Refused("this head has no location: give it location = [lat, lon, height]");
    if (auto why = geo::Calibrate(pose_->place, landmarks_, out); !why.empty()) return Refused(why);
    pose_->orientation = out.orientation;
    pose_->calibrated = true;
    pose_->residual = out.residual;
    Result r = SavePose();
    if (!r.ok()) r.message = "calibrated, but " + r.message;
    return r;
}

}  // namespace ptzd::motion
