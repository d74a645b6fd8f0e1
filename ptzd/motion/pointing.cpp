// Pointing at the world: a head's place and orientation, geo moves, what
// it looks at, landmarks and their calibration.
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

// The calibrated orientation as kept: {"yaw", "pitch", "roll", "residual",
// "place": [lat, lon, height]} (the place it was solved for: a head moved
// elsewhere in the configuration is not given an orientation of another place).
std::optional<GeoPose> Load(const std::string& file, const GeoPose& configured) {
    std::string text;
    if (file.empty() || LoadStateFile(file, text) != StateRead::Read) return std::nullopt;
    const json j = json::parse(text, nullptr, false);
    auto number = [&](const char* key) { return j.is_object() && j.contains(key) && j[key].is_number() ? j[key].get<double>() : NAN; };
    if (!j.is_object() || !j.contains("place") || !j["place"].is_array() || j["place"].size() != 3) return std::nullopt;
    for (const json& v : j["place"])
        if (!v.is_number()) return std::nullopt;
    const geo::Place at{j["place"][0].get<double>(), j["place"][1].get<double>(), j["place"][2].get<double>()};
    if (std::fabs(at.lat - configured.place.lat) > 1e-9 || std::fabs(at.lon - configured.place.lon) > 1e-9 ||
        std::fabs(at.height - configured.place.height) > 1e-6)
        return std::nullopt;
    GeoPose pose = configured;
    pose.orientation = {number("yaw"), number("pitch"), number("roll")};
    pose.residual = number("residual");
    if (!std::isfinite(pose.orientation.yaw) || !std::isfinite(pose.orientation.pitch) || !std::isfinite(pose.orientation.roll))
        return std::nullopt;
    pose.calibrated = true;
    return pose;
}

}  // namespace

void Motion::SetPose(std::optional<GeoPose> pose) {
    std::lock_guard lock(poseMutex_);
    if (pose)
        if (auto kept = Load(poseFile_, *pose)) {
            Log(Level::Info, "head " + name() + ": orientation from its calibration (residual " +
                                 std::to_string(kept->residual) + " degrees)");
            pose = kept;
        }
    pose_ = pose;
}

std::optional<GeoPose> Motion::Pose() const {
    std::lock_guard lock(poseMutex_);
    return pose_;
}

Result Motion::PointAt(const geo::Place& target, const Pace& pace) {
    if (auto why = geo::CheckPlace(target); !why.empty()) return Refused(why);
    const std::optional<GeoPose> pose = Pose();
    if (!pose) return Refused("this head has no location: give it location = [lat, lon, height]");
    const geo::Look look = geo::LookAt(pose->place, target);
    if (look.range < 0.5) return Refused("the target is where the head is");
    const geo::PanTilt p = geo::ToHead(pose->orientation, look.azimuth, look.elevation);
    // Pan is taken as the head turns: the target's pan, or the same
    // direction a turn away where the head's range allows it.
    const Range pan = units().LimitDegrees(Axis::Pan), tilt = units().LimitDegrees(Axis::Tilt);
    double panTarget = p.pan;
    for (double alt : {p.pan, p.pan - 360, p.pan + 360})
        if (alt >= pan.min && alt <= pan.max) {
            panTarget = alt;
            break;
        }
    if (panTarget < pan.min || panTarget > pan.max || p.tilt < tilt.min || p.tilt > tilt.max) {
        char text[200];
        std::snprintf(text, sizeof text, "the target is at pan %.2f, tilt %.2f: outside the limits (pan %.2f to %.2f, tilt %.2f to %.2f)",
                      p.pan, p.tilt, pan.min, pan.max, tilt.min, tilt.max);
        return Refused(text);
    }
    return Absolute(panTarget, p.tilt, pace);
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
    Result r;
    if (!poseFile_.empty()) {
        const json j{{"yaw", out.orientation.yaw}, {"pitch", out.orientation.pitch}, {"roll", out.orientation.roll},
                     {"residual", out.residual},
                     {"place", json::array({pose_->place.lat, pose_->place.lon, pose_->place.height})}};
        if (auto why = WriteStateFile(poseFile_, j.dump()); !why.empty()) {
            r.status = Status::StateFailed;
            r.message = "calibrated, but not kept: " + why;
        }
    }
    return r;
}

}  // namespace ptzd::motion
