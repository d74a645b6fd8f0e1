#include "onvif/geolocation.h"

#include <cmath>
#include <cstdio>

#include "onvif/service.h"
#include "onvif/xs.h"

namespace ptzd::onvif {

namespace {

// Degrees of latitude or longitude to a tenth of a millimetre on the ground.
std::string DegreesText(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.9f", v);
    return text;
}

std::string MetresText(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", v);
    return text;
}

}  // namespace

std::string ParseGeoLocation(const pugi::xml_node& node, GeoAttributes& out) {
    struct Field {
        const char* name;
        double min, max;
        std::optional<double>* to;
    };
    for (const Field& f : {Field{"lat", -90, 90, &out.lat}, Field{"lon", -180, 180, &out.lon},
                           Field{"elevation", -12000, 100000, &out.elevation}}) {
        const pugi::xml_attribute a = node.attribute(f.name);
        if (!a) continue;
        double v = 0;
        if (!ParseNumber(a.value(), v) || v < f.min || v > f.max)
            return std::string(node.name()) + " " + f.name + " must be a number from " + FloatText(f.min) + " to " +
                   FloatText(f.max);
        *f.to = v;
    }
    return "";
}

std::string LocationEntityXml(const motion::GeoPose& pose) {
    const geo::Orientation& o = pose.orientation;
    return "<tds:Location Entity=\"Device\" Fixed=\"false\" AutoGeo=\"false\"><tt:GeoLocation lon=\"" +
           DegreesText(pose.place.lon) + "\" lat=\"" + DegreesText(pose.place.lat) + "\" elevation=\"" +
           MetresText(pose.place.height) + "\"/><tt:GeoOrientation roll=\"" + FloatText(o.roll) + "\" pitch=\"" +
           FloatText(o.pitch) + "\" yaw=\"" + FloatText(o.yaw) + "\"/></tds:Location>";
}

// GetGeoLocation, SetGeoLocation and DeleteGeoLocation: one entry, the
// device's (the head), whose place the geo moves start from.
void Service::AddGeoLocation(Dispatch& d) {
    d.On(kDevice, "GetGeoLocation", [this](const Call&) -> Reply {
        const std::optional<motion::GeoPose> pose = motion_.Pose();
        return Ok("<tds:GetGeoLocationResponse>" + (pose ? LocationEntityXml(*pose) : std::string()) +
                  "</tds:GetGeoLocationResponse>");
    });
    // The entries a request names: each is the device's (no Entity, or
    // "Device"; the one video source stands where the head does), and
    // carries nothing this device cannot keep.
    const auto entries = [](const pugi::xml_node& in, std::vector<pugi::xml_node>& out) -> std::string {
        for (pugi::xml_node e = in.first_child(); e; e = e.next_sibling()) {
            if (e.type() != pugi::node_element) continue;
            const std::string_view local = std::string_view(e.name()).substr(std::string_view(e.name()).find(':') + 1);
            if (local != "Location") return "unexpected element " + std::string(e.name());
            const std::string entity(Collapsed(e.attribute("Entity").value()));
            if (!entity.empty() && entity != "Device" && entity != "VideoSource")
                return "this device has one location, the Device's (not \"" + entity + "\")";
            if (ChildAnyNs(e, "LocalLocation") || ChildAnyNs(e, "LocalOrientation"))
                return "this device keeps no LocalLocation or LocalOrientation";
            out.push_back(e);
        }
        if (out.empty()) return "Location is missing";
        if (out.size() > 1) return "this device keeps one location (GeoLocationEntries is 1)";
        return "";
    };
    d.On(kDevice, "SetGeoLocation", [this, entries](const Call& call) -> Reply {
        std::vector<pugi::xml_node> list;
        if (auto why = entries(call.request.operation, list); !why.empty()) return BadArgs(why);
        const pugi::xml_node e = list.front();
        GeoAttributes at;
        if (auto why = ParseGeoLocation(ChildAnyNs(e, "GeoLocation"), at); !why.empty()) return BadArgs(why);
        const std::optional<motion::GeoPose> before = motion_.Pose();
        motion::GeoPose pose = before.value_or(motion::GeoPose{});
        // What the entry leaves out stays as it was: a place needs lat and
        // lon, given now or known before.
        if (!before && (!at.lat || !at.lon)) return BadArgs("GeoLocation needs lat and lon (the device has no location yet)");
        if (at.lat) pose.place.lat = *at.lat;
        if (at.lon) pose.place.lon = *at.lon;
        if (at.elevation) pose.place.height = *at.elevation;
        if (const pugi::xml_node o = ChildAnyNs(e, "GeoOrientation")) {
            struct Field {
                const char* name;
                double limit;
                double* to;
            };
            for (const Field& f : {Field{"yaw", 360, &pose.orientation.yaw}, Field{"pitch", 90, &pose.orientation.pitch},
                                   Field{"roll", 90, &pose.orientation.roll}}) {
                const pugi::xml_attribute a = o.attribute(f.name);
                if (!a) continue;
                double v = 0;
                if (!ParseNumber(a.value(), v) || std::fabs(v) > f.limit)
                    return BadArgs(std::string("GeoOrientation ") + f.name + " must be a number from " +
                                   FloatText(-f.limit) + " to " + FloatText(f.limit));
                *f.to = v;
            }
            pose.calibrated = false;  // told, not measured
            pose.residual = 0;
        }
        if (closed_) return Closing();
        if (Reply reply = Motion(motion_.SetLocation(pose), "SetGeoLocation"); reply.status != 200) return reply;
        return Ok("<tds:SetGeoLocationResponse/>");
    });
    d.On(kDevice, "DeleteGeoLocation", [this, entries](const Call& call) -> Reply {
        std::vector<pugi::xml_node> list;
        if (auto why = entries(call.request.operation, list); !why.empty()) return BadArgs(why);
        if (!motion_.Pose()) return BadArgs("the device has no location to delete", "ter:NoEntity");
        if (closed_) return Closing();
        if (Reply reply = Motion(motion_.SetLocation(std::nullopt), "DeleteGeoLocation"); reply.status != 200) return reply;
        return Ok("<tds:DeleteGeoLocationResponse/>");
    });
}

}  // namespace ptzd::onvif
