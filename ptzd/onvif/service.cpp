#include "onvif/service.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>

#include "infra/log.h"
#include "infra/state_file.h"
#include "infra/utf8.h"
#include "onvif/geolocation.h"
#include "onvif/names.h"
#include "onvif/spaces.h"
#include "onvif/xs.h"
#include "ptz.h"

namespace ptzd::onvif {

namespace {

constexpr const char* kIrOn = "tt:IRLamp|On";
constexpr const char* kIrOff = "tt:IRLamp|Off";
using motion::Axis;

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    gmtime_r(&now, &t);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
    return text;
}

// A number in an attribute: absent, a number (checked whole and in range),
// or refused.
enum class Given { Absent, Number, Bad };
Given NumberAttribute(const pugi::xml_node& node, const char* name, double& value, double min, double max) {
    const pugi::xml_attribute a = node.attribute(name);
    if (!a) return Given::Absent;
    return ParseNumber(a.value(), value) && value >= min && value <= max ? Given::Number : Given::Bad;
}

// The x and y of a PanTilt vector, each within [min, max] when given; the
// reason when one is not a number in that range.
std::string PanTiltOf(const pugi::xml_node& panTilt, double min, double max, std::optional<double>& x,
                      std::optional<double>& y) {
    for (auto [name, out] : {std::pair{"x", &x}, std::pair{"y", &y}}) {
        double v = 0;
        switch (NumberAttribute(panTilt, name, v, min, max)) {
            case Given::Absent: break;
            case Given::Number: *out = v; break;
            case Given::Bad:
                return std::string("PanTilt ") + name + " must be a number from " + FloatText(min) + " to " + FloatText(max);
        }
    }
    return "";
}

// A zoom asks for nothing (none, or x = 0), else the reason it is refused.
std::string ZoomProblem(const pugi::xml_node& vector) {
    double x = 0;
    switch (NumberAttribute(ChildAnyNs(vector, "Zoom"), "x", x, -1, 1)) {
        case Given::Absent: return "";
        case Given::Number: return x == 0 ? "" : "this head has no zoom";
        case Given::Bad: break;
    }
    return "Zoom x must be a number from -1 to 1";
}

constexpr const char* kPtzCapabilities =
    "<tptz:Capabilities EFlip=\"false\" Reverse=\"false\" GetCompatibleConfigurations=\"true\" MoveStatus=\"true\" "
    "StatusPosition=\"true\"/>";

// Why the request's ProfileToken names no profile of ours ("" when it does).
std::string ProfileProblem(const pugi::xml_node& in) {
    const std::string token = ChildAnyNs(in, "ProfileToken").text().get();
    return token == kProfile ? "" : "no profile \"" + token + "\"";
}


}  // namespace

// ---- the service ------------------------------------------------------------------

Service::Service(motion::Motion& motion, const OnvifConfig& config, const std::string& stateFile)
    : motion_(motion), config_(config), auth_(config.user, config.password, config.plainPassword), identity_(IdentityOf(config.gateway, motion.name())), uuid_(identity_.uuid),
      stateFile_(stateFile) {
    const motion::Units& u = motion_.units();
    settings_.speed = u.config().defaultSpeed;
    settings_.timeout = u.config().continuousTimeout;
    settings_.pan = u.LimitDegrees(Axis::Pan);
    settings_.tilt = u.LimitDegrees(Axis::Tilt);
    // What SetConfiguration kept, where it still fits this head.
    std::string text;
    if (!stateFile_.empty() && LoadStateFile(stateFile_, text) == StateRead::Read) {
        const auto data = nlohmann::json::parse(text, nullptr, false);
        if (!data.is_object()) SetAsideStateFile(stateFile_, data.is_discarded() ? "it is not JSON" : "it is not a JSON object");
        const auto number = [&](const char* key, double min, double max) -> std::optional<double> {
            if (!data.is_object() || !data.contains(key) || !data[key].is_number()) return std::nullopt;
            const double v = data[key];
            return v >= min && v <= max ? std::optional(v) : std::nullopt;
        };
        if (auto v = number("speed", 0, 1)) settings_.speed = *v;
        if (data.is_object() && data.contains("discoverable") && data["discoverable"].is_boolean())
            settings_.discoverable = data["discoverable"];
        if (auto v = number("timeout", 0.001, motion::kMaxLease.count() / 1000.0))
            settings_.timeout = std::chrono::milliseconds(std::lround(*v * 1000));
        for (auto [axis, range, lo, hi] : {std::tuple{Axis::Pan, &settings_.pan, "pan_min", "pan_max"},
                                           std::tuple{Axis::Tilt, &settings_.tilt, "tilt_min", "tilt_max"}}) {
            const motion::Range soft = u.LimitDegrees(axis);
            auto min = number(lo, soft.min, soft.max), max = number(hi, soft.min, soft.max);
            if (min && max && *min <= *max) *range = {*min, *max};
        }
    }
    AddDevice(dispatch_);
    AddMedia(dispatch_);
    AddPtz(dispatch_);
    AddGeoLocation(dispatch_);
    dispatch_.Add({kDevice, "/onvif/device_service",
                   [] {
                       return std::string("<tds:Capabilities><tds:Network/><tds:Security UsernameToken=\"true\" "
                                          "HttpDigest=\"true\"/><tds:System GeoLocationEntries=\"1\"/></tds:Capabilities>");
                   },
                   "Device", ""});
    dispatch_.Add({kMedia, "/onvif/media_service", [this] { return MediaCapabilities(); }, "Media",
                   "<tt:StreamingCapabilities><tt:RTPMulticast>false</tt:RTPMulticast><tt:RTP_TCP>true</tt:RTP_TCP>"
                   "<tt:RTP_RTSP_TCP>true</tt:RTP_RTSP_TCP></tt:StreamingCapabilities>"});
    dispatch_.Add({kPtz, "/onvif/ptz_service", [] { return std::string(kPtzCapabilities); }, "PTZ", ""});
    motion_.Watch();
}

Service::~Service() { motion_.Unwatch(); }

void Service::StopAll() { closed_ = true; }

bool Service::Discoverable() { return Settings().discoverable; }

std::string Service::SetDiscoverable(bool on) {
    PtzSettings s;
    {
        std::lock_guard lock(settingsMutex_);
        if (settings_.discoverable == on) return "";
        settings_.discoverable = on;
        s = settings_;
    }
    const std::string why = SaveSettings(s);
    if (discoveryChanged) discoveryChanged(on);
    return why;
}

PtzSettings Service::Settings() {
    std::lock_guard lock(settingsMutex_);
    return settings_;
}

std::string Service::SaveSettings(const PtzSettings& s) {
    if (stateFile_.empty()) return "";
    const nlohmann::json data = {{"speed", s.speed},       {"timeout", s.timeout.count() / 1000.0},
                                 {"pan_min", s.pan.min},   {"pan_max", s.pan.max},
                                 {"tilt_min", s.tilt.min}, {"tilt_max", s.tilt.max}, {"discoverable", s.discoverable}};
    std::string why = WriteStateFile(stateFile_, data.dump(2) + "\n");
    if (!why.empty()) Log(Level::Warn, "ONVIF settings of " + motion_.name() + " not saved: " + why);
    return why;
}

bool Service::Wildcard() const {
    const std::string& h = config_.address.host;
    return h.empty() || h == "0.0.0.0" || h == "::";
}

std::string Service::BaseUrlWith(const std::string& host) const {
    const bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(config_.address.port);
}

std::string Service::BaseUrl() const { return BaseUrlWith(config_.address.host); }

std::string Service::Scopes() const {
    // name/ and mac/ are this head's own (Home Assistant names a discovered
    // device by the first and keys it by the second); hardware/ is the
    // head's model once its link has told it.
    const motion::Motion::Identity id = motion_.HeadIdentity();
    std::string scopes = "onvif://www.onvif.org/type/ptz onvif://www.onvif.org/type/video_encoder "
                         "onvif://www.onvif.org/Profile/Streaming onvif://www.onvif.org/name/" +
                         ScopeSegment(motion_.name()) + " onvif://www.onvif.org/hardware/" +
                         ScopeSegment(id.known && !id.model.empty() ? id.model : "ptz-head") +
                         " onvif://www.onvif.org/mac/" + identity_.mac;
    if (!config_.location.empty()) scopes += " onvif://www.onvif.org/location/" + ScopeSegment(config_.location);
    return scopes;
}

Reply Service::Unsupported(const std::string& what) {
    // A Receiver fault (and so 500): the request is fine, this device lacks it.
    return {500, Fault("Receiver", "ter:ActionNotSupported", what + " is not supported by this device")};
}

Reply Service::BadArgs(const std::string& why, const char* detail) {
    return {400, Fault("Sender", std::string("ter:InvalidArgVal") + (detail ? std::string("/") + detail : ""), why)};
}

Reply Service::HeadFailure(const Outcome& o, const char* what) {
    if (o.result == kLinkDown) return {500, Fault("Receiver", "ter:Action", std::string(what) + ": the head is not connected")};
    if (o.result == PTZ_BAD_PARAM) return BadArgs(std::string(what) + ": the value is out of the head's range");
    if (o.result != PTZ_FAILED)  // not taken: too many calls wait for this head
        return {500, Fault("Receiver", "ter:Action", std::string(what) + ": the head is busy; try again")};
    char text[320];
    PTZ_GetErrorText(o.kind, o.code, text, sizeof text);
    return {500, Fault("Receiver", "ter:Action", std::string(what) + ": " + text)};
}

int Service::Handle(const std::string& body, std::string& response, const std::string& host, const std::string& path,
                    bool digest) {
    Request request;
    // A host text with anything but name, address and port characters is ignored.
    const bool plainHost = !host.empty() && host.size() < 256 &&
                           host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]") ==
                               std::string::npos;
    // Without a usable Host, the configured address; a wildcard one is no
    // address to reach, so loopback stands in for it.
    // A Host without a port gets the port the services listen on.
    const size_t close = host.rfind(']');
    const bool bracketed = !host.empty() && host.front() == '[' && close != std::string::npos;
    const bool hasPort = bracketed ? close + 1 < host.size() && host[close + 1] == ':'
                                   : std::count(host.begin(), host.end(), ':') == 1;
    request.base = plainHost && hasPort ? "http://" + host
                   : plainHost         ? BaseUrlWith(bracketed ? host.substr(1, close - 1) : host)
                   : Wildcard()        ? BaseUrlWith(config_.address.host == "::" ? "::1" : "127.0.0.1")
                                       : BaseUrl();
    if (const std::string why = Parse(body, request); !why.empty()) return RefusalFault(request, why, response);
    if (!dispatch_.Open(request.ns, request.name)) {
        if (const std::string why = auth_.Check(request.header); !why.empty() && !digest) {
            response = Fault("Sender", "ter:NotAuthorized", why);
            return 400;
        }
    }
    const Operation* operation = dispatch_.Find(request.ns, request.name);
    const Reply reply = operation ? (*operation)(Call{request, path, digest})
                        : dispatch_.Knows(request.ns) ? Unsupported(request.name)
                                                      : Unsupported("{" + request.ns + "}" + request.name);
    response = reply.body;
    return reply.status;
}

// ---- device ---------------------------------------------------------------------------

void Service::AddDevice(Dispatch& d) {
    d.On(
        kDevice, "GetSystemDateAndTime",
        [this](const Call&) -> Reply {
            const std::time_t now = std::time(nullptr);
            std::tm t{};
            gmtime_r(&now, &t);
            char body[512];
            std::snprintf(body, sizeof body,
                          "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime>"
                          "<tt:DateTimeType>NTP</tt:DateTimeType><tt:DaylightSavings>false</tt:DaylightSavings>"
                          "<tt:TimeZone><tt:TZ>UTC0</tt:TZ></tt:TimeZone><tt:UTCDateTime>"
                          "<tt:Time><tt:Hour>%d</tt:Hour><tt:Minute>%d</tt:Minute><tt:Second>%d</tt:Second></tt:Time>"
                          "<tt:Date><tt:Year>%d</tt:Year><tt:Month>%d</tt:Month><tt:Day>%d</tt:Day></tt:Date>"
                          "</tt:UTCDateTime></tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>",
                          t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
            return Ok(body);
        },
        true);
    d.On(
        kDevice, "GetCapabilities",
        [this](const Call& call) -> Reply {
            return Ok("<tds:GetCapabilitiesResponse><tds:Capabilities>" + dispatch_.Capabilities(call.request.base) +
                      "</tds:Capabilities></tds:GetCapabilitiesResponse>");
        },
        true);
    d.On(
        kDevice, "GetServices",
        [this](const Call& call) -> Reply {
            const bool capabilities =
                std::string(ChildAnyNs(call.request.operation, "IncludeCapability").text().get()) == "true";
            return Ok("<tds:GetServicesResponse>" + dispatch_.Services(call.request.base, capabilities) +
                      "</tds:GetServicesResponse>");
        },
        true);
    d.On(
        kDevice, "GetServiceCapabilities",
        [this](const Call&) -> Reply {
            return Ok("<tds:GetServiceCapabilitiesResponse><tds:Capabilities><tds:Network/>"
                      "<tds:Security UsernameToken=\"true\" HttpDigest=\"true\"/><tds:System DiscoveryBye=\"true\"/>"
                      "</tds:Capabilities></tds:GetServiceCapabilitiesResponse>");
        },
        true);
    d.On(kDevice, "GetDeviceInformation", [this](const Call&) -> Reply {
        // Read by the motion layer when the link came up: no exchange here.
        const motion::Motion::Identity id = motion_.HeadIdentity();
        const bool known = id.known;
        return Ok("<tds:GetDeviceInformationResponse><tds:Manufacturer>ptz</tds:Manufacturer><tds:Model>" +
                  Escape(known ? id.model : "pan/tilt head") + "</tds:Model><tds:FirmwareVersion>" +
                  Escape(known ? id.firmware : "unknown") + "</tds:FirmwareVersion><tds:SerialNumber>" +
                  Escape(identity_.serial) + "</tds:SerialNumber><tds:HardwareId>" +
                  Escape(known ? id.serial : "unknown") + "</tds:HardwareId></tds:GetDeviceInformationResponse>");
    });
    d.On(kDevice, "GetScopes", [this](const Call&) -> Reply {
        std::string items;
        std::string scopes = Scopes();
        for (size_t at = 0; at < scopes.size();) {
            size_t end = scopes.find(' ', at);
            if (end == std::string::npos) end = scopes.size();
            items += "<tds:Scopes><tt:ScopeDef>Fixed</tt:ScopeDef><tt:ScopeItem>" + Escape(scopes.substr(at, end - at)) +
                     "</tt:ScopeItem></tds:Scopes>";
            at = end + 1;
        }
        return Ok("<tds:GetScopesResponse>" + items + "</tds:GetScopesResponse>");
    });
    d.On(kDevice, "GetHostname", [this](const Call&) -> Reply {
        return Ok("<tds:GetHostnameResponse><tds:HostnameInformation><tt:FromDHCP>false</tt:FromDHCP><tt:Name>" +
                  Escape(motion_.name()) + "</tt:Name></tds:HostnameInformation></tds:GetHostnameResponse>");
    });
}

// ---- media -----------------------------------------------------------------------------

namespace {

// The video source and encoder configurations that describe the camera's
// stream, as element `element` (schema order inside).
std::string SourceConfigurationXml(const std::string& element) {
    return "<" + element + " token=\"" + kSourceConfig + "\"><tt:Name>VideoSourceConfig</tt:Name>"
           "<tt:UseCount>1</tt:UseCount><tt:SourceToken>" + kSource + "</tt:SourceToken>"
           "<tt:Bounds x=\"0\" y=\"0\" width=\"1920\" height=\"1080\"/></" + element + ">";
}

std::string EncoderConfigurationXml(const std::string& element) {
    return "<" + element + " token=\"" + kEncoderConfig + "\"><tt:Name>H264</tt:Name>"
           "<tt:UseCount>1</tt:UseCount><tt:Encoding>H264</tt:Encoding>"
           "<tt:Resolution><tt:Width>1920</tt:Width><tt:Height>1080</tt:Height></tt:Resolution>"
           "<tt:Quality>5</tt:Quality><tt:RateControl><tt:FrameRateLimit>25</tt:FrameRateLimit>"
           "<tt:EncodingInterval>1</tt:EncodingInterval><tt:BitrateLimit>4096</tt:BitrateLimit></tt:RateControl>"
           "<tt:H264><tt:GovLength>50</tt:GovLength><tt:H264Profile>Main</tt:H264Profile></tt:H264>"
           "<tt:Multicast><tt:Address><tt:Type>IPv4</tt:Type><tt:IPv4Address>0.0.0.0</tt:IPv4Address></tt:Address>"
           "<tt:Port>0</tt:Port><tt:TTL>1</tt:TTL><tt:AutoStart>false</tt:AutoStart></tt:Multicast>"
           "<tt:SessionTimeout>PT60S</tt:SessionTimeout></" + element + ">";
}

}  // namespace

std::string Service::MediaCapabilities() const {
    return std::string("<trt:Capabilities SnapshotUri=\"") + (config_.snapshot.empty() ? "false" : "true") +
           "\"><trt:ProfileCapabilities MaximumNumberOfProfiles=\"1\"/><trt:StreamingCapabilities "
           "RTP_TCP=\"true\" RTP_RTSP_TCP=\"true\"/></trt:Capabilities>";
}

std::string Service::ProfileXml() {
    return "<tt:Name>" + Escape(motion_.name()) + "</tt:Name>" +
           SourceConfigurationXml("tt:VideoSourceConfiguration") +
           EncoderConfigurationXml("tt:VideoEncoderConfiguration") + PtzConfigurationXml("tt:PTZConfiguration");
}

void Service::AddMedia(Dispatch& d) {
    d.On(
        kMedia, "GetServiceCapabilities",
        [this](const Call&) -> Reply {
            return Ok("<trt:GetServiceCapabilitiesResponse>" + MediaCapabilities() + "</trt:GetServiceCapabilitiesResponse>");
        },
        true);
    d.On(kMedia, "GetProfiles", [this](const Call&) -> Reply {
        return Ok("<trt:GetProfilesResponse><trt:Profiles token=\"" + std::string(kProfile) + "\" fixed=\"true\">" +
                  ProfileXml() + "</trt:Profiles></trt:GetProfilesResponse>");
    });
    d.On(kMedia, "GetProfile", [this](const Call& call) -> Reply {
        if (auto why = ProfileProblem(call.request.operation); !why.empty()) return BadArgs(why, "ter:NoProfile");
        return Ok("<trt:GetProfileResponse><trt:Profile token=\"" + std::string(kProfile) + "\" fixed=\"true\">" +
                  ProfileXml() + "</trt:Profile></trt:GetProfileResponse>");
    });
    d.On(kMedia, "GetVideoSources", [this](const Call&) -> Reply {
        return Ok("<trt:GetVideoSourcesResponse><trt:VideoSources token=\"" + std::string(kSource) +
                  "\"><tt:Framerate>25</tt:Framerate><tt:Resolution><tt:Width>1920</tt:Width><tt:Height>1080</tt:Height>"
                  "</tt:Resolution></trt:VideoSources></trt:GetVideoSourcesResponse>");
    });
    d.On(kMedia, "GetVideoSourceConfigurations", [this](const Call&) -> Reply {
        return Ok("<trt:GetVideoSourceConfigurationsResponse>" + SourceConfigurationXml("trt:Configurations") +
                  "</trt:GetVideoSourceConfigurationsResponse>");
    });
    d.On(kMedia, "GetVideoEncoderConfigurations", [this](const Call&) -> Reply {
        return Ok("<trt:GetVideoEncoderConfigurationsResponse>" + EncoderConfigurationXml("trt:Configurations") +
                  "</trt:GetVideoEncoderConfigurationsResponse>");
    });
    {
        const Operation uri = [this](const Call& call) -> Reply {
            const std::string& op = call.request.name;
            if (auto why = ProfileProblem(call.request.operation); !why.empty()) return BadArgs(why, "ter:NoProfile");
            const std::string& uri = op == "GetStreamUri" ? config_.rtsp : config_.snapshot;
            if (uri.empty())
                return {400, Fault("Sender", "ter:InvalidArgVal",
                                   op == "GetStreamUri" ? "no stream address (rtsp) is configured for this head"
                                                        : "no snapshot address is configured for this head")};
            return Ok("<trt:" + op + "Response><trt:MediaUri><tt:Uri>" + Escape(uri) +
                      "</tt:Uri><tt:InvalidAfterConnect>false</tt:InvalidAfterConnect><tt:InvalidAfterReboot>false"
                      "</tt:InvalidAfterReboot><tt:Timeout>PT0S</tt:Timeout></trt:MediaUri></trt:" + op + "Response>");
        };
        for (const char* name : {"GetStreamUri", "GetSnapshotUri"}) d.On(kMedia, name, uri);
    }
}

// ---- PTZ --------------------------------------------------------------------------------

namespace {

std::string Seconds(std::chrono::milliseconds d) { return "PT" + FloatText(d.count() / 1000.0) + "S"; }

// A preset token as this device hands them out: "1" to "16", exactly.
bool PresetNumber(const std::string& token, int& preset) {
    for (int n = 1; n <= motion::kPresets; ++n)
        if (token == std::to_string(n)) {
            preset = n;
            return true;
        }
    return false;
}

bool PresetToken(const pugi::xml_node& in, int& preset) {
    return PresetNumber(ChildAnyNs(in, "PresetToken").text().get(), preset);
}

// A Speed element's PanTilt, when given: with `tilt`, x for pan and y for
// tilt (one alone serves both); without, the faster axis's for both.
std::string SpeedOf(const pugi::xml_node& speed, std::optional<double>& out, std::optional<double>* tilt = nullptr) {
    std::optional<double> x, y;
    if (auto why = PanTiltOf(ChildAnyNs(speed, "PanTilt"), 0, 1, x, y); !why.empty()) return "Speed " + why;
    double zoom = 0;
    if (NumberAttribute(ChildAnyNs(speed, "Zoom"), "x", zoom, 0, 1) == Given::Bad)
        return "Speed Zoom x must be a number from 0 to 1";
    if (!x && !y) return "";
    if (tilt) {
        out = x ? x : y;
        *tilt = y ? y : x;
    } else {
        out = std::max(x.value_or(0), y.value_or(0));
    }
    return "";
}

}  // namespace

std::string Service::SpacesXml() {
    const PtzSettings s = Settings();
    return onvif::SpacesXml(motion_.units(), s.pan, s.tilt);
}

std::string Service::PtzConfigurationXml(const char* element) {
    const motion::Units& u = motion_.units();
    const PtzSettings s = Settings();
    const auto generic = [&](Axis axis, motion::Range degrees) { return GenericRange(u, axis, degrees); };
    return std::string("<") + element + " token=\"" + kPtzConfig + "\"><tt:Name>PTZConfig</tt:Name>"
           "<tt:UseCount>1</tt:UseCount><tt:NodeToken>" + kNode + "</tt:NodeToken>"
           "<tt:DefaultAbsolutePantTiltPositionSpace>" + kPositionSpace + "</tt:DefaultAbsolutePantTiltPositionSpace>"
           "<tt:DefaultRelativePanTiltTranslationSpace>" + kTranslationSpace + "</tt:DefaultRelativePanTiltTranslationSpace>"
           "<tt:DefaultContinuousPanTiltVelocitySpace>" + kVelocitySpace + "</tt:DefaultContinuousPanTiltVelocitySpace>"
           "<tt:DefaultPTZSpeed><tt:PanTilt x=\"" + FloatText(s.speed) + "\" y=\"" + FloatText(s.speed) + "\" space=\"" +
           kSpeedSpace + "\"/></tt:DefaultPTZSpeed><tt:DefaultPTZTimeout>" + Seconds(s.timeout) +
           "</tt:DefaultPTZTimeout><tt:PanTiltLimits>" +
           RangeXml("Range", kPositionSpace, generic(Axis::Pan, s.pan), generic(Axis::Tilt, s.tilt)) +
           "</tt:PanTiltLimits></" + element + ">";
}

std::string Service::NodeXml(const char* element) {
    return std::string("<") + element + " token=\"" + kNode + "\" FixedHomePosition=\"false\" GeoMove=\"true\"><tt:Name>" +
           Escape(motion_.name()) + "</tt:Name><tt:SupportedPTZSpaces>" + SpacesXml() +
           "</tt:SupportedPTZSpaces><tt:MaximumNumberOfPresets>16</tt:MaximumNumberOfPresets>"
           "<tt:HomeSupported>true</tt:HomeSupported><tt:AuxiliaryCommands>" + kIrOn +
           "</tt:AuxiliaryCommands><tt:AuxiliaryCommands>" + kIrOff + "</tt:AuxiliaryCommands>"
           "<tt:Extension><tt:SupportedPresetTour><tt:MaximumNumberOfPresetTours>" + std::to_string(motion::kMaxTours) +
           "</tt:MaximumNumberOfPresetTours><tt:PTZPresetTourOperation>Start</tt:PTZPresetTourOperation>"
           "<tt:PTZPresetTourOperation>Stop</tt:PTZPresetTourOperation><tt:PTZPresetTourOperation>Pause"
           "</tt:PTZPresetTourOperation></tt:SupportedPresetTour></tt:Extension></" + element + ">";
}

std::string Service::GenericXml(int32_t pan, int32_t tilt) const {
    const motion::Units& u = motion_.units();
    return "<tt:PanTilt x=\"" + FloatText(u.Generic(Axis::Pan, pan)) + "\" y=\"" + FloatText(u.Generic(Axis::Tilt, tilt)) +
           "\" space=\"" + kPositionSpace + "\"/>";
}

Reply Service::Closing() { return {500, Fault("Receiver", "ter:Action", "the device is shutting down")}; }

Reply Service::Motion(const motion::Result& r, const char* what) {
    using motion::Status;
    switch (r.status) {
        case Status::Ok: return {200, ""};
        case Status::BadArgument: return BadArgs(std::string(what) + ": " + r.message);
        case Status::NotFound: return BadArgs(std::string(what) + ": " + r.message, "ter:NoToken");
        case Status::HeadFailed: return HeadFailure(r.outcome, what);
        case Status::LinkDown:
            return {500, Fault("Receiver", "ter:Action", std::string(what) + ": the head is not connected")};
        case Status::Busy: return {500, Fault("Receiver", "ter:Action", std::string(what) + ": the head is busy; try again")};
        case Status::Superseded:
            return {500, Fault("Receiver", "ter:Action", std::string(what) + ": a newer command came first")};
        case Status::StateFailed: return {500, Fault("Receiver", "ter:Action", std::string(what) + ": " + r.message)};
    }
    return {500, Fault("Receiver", "ter:Action", what)};
}

Reply Service::SetPreset(const pugi::xml_node& in) {
    const std::string name = ChildAnyNs(in, "PresetName").text().get();
    if (!name.empty() && !motion::PresetStore::CheckName(name).empty())
        return BadArgs("a preset name is text of at most 64 bytes of UTF-8, without control characters",
                       "ter:InvalidPresetName");
    std::lock_guard lock(presetOps_);
    int preset = 0;
    const auto all = motion_.presets().All();
    if (ChildAnyNs(in, "PresetToken")) {
        if (!PresetToken(in, preset)) return BadArgs("preset tokens are \"1\" to \"16\"", "ter:NoToken");
    } else if ((preset = motion_.presets().FirstFree()) == 0) {
        return {500, Fault("Receiver", "ter:Action/ter:TooManyPresets", "all 16 presets are in use")};
    }
    const std::string label = name.empty() ? all[preset].name.empty() ? "Preset " + std::to_string(preset) : all[preset].name : name;
    for (int n = 1; n <= motion::kPresets; ++n)
        if (n != preset && all[n].name == label) return BadArgs("preset " + std::to_string(n) + " has that name", "ter:PresetExist");
    if (closed_) return Closing();
    if (Reply r = Motion(motion_.StorePreset(preset, label), "SetPreset"); r.status != 200) return r;
    return Ok("<tptz:SetPresetResponse><tptz:PresetToken>" + std::to_string(preset) +
              "</tptz:PresetToken></tptz:SetPresetResponse>");
}

Reply Service::SetConfiguration(const pugi::xml_node& in) {
    const pugi::xml_node c = ChildAnyNs(in, "PTZConfiguration");
    if (std::string(c.attribute("token").value()) != kPtzConfig) return BadArgs("no such configuration", "ter:NoEntity");
    if (const pugi::xml_node node = ChildAnyNs(c, "NodeToken"); node && std::string(node.text().get()) != kNode)
        return BadArgs("no such node", "ter:NoEntity");
    const motion::Units& u = motion_.units();
    PtzSettings s = Settings();
    if (const pugi::xml_node speed = ChildAnyNs(c, "DefaultPTZSpeed")) {
        std::optional<double> v;
        if (auto why = SpeedOf(speed, v); !why.empty()) return BadArgs("Default" + why, "ter:ConfigModify");
        if (v) s.speed = *v;
    }
    if (const pugi::xml_node t = ChildAnyNs(c, "DefaultPTZTimeout")) {
        std::chrono::milliseconds d{0};
        if (!ParseDuration(t.text().get(), d) || d.count() <= 0 || d > motion::kMaxLease)
            return BadArgs("DefaultPTZTimeout must be a duration above 0 and at most " + Seconds(motion::kMaxLease),
                           "ter:ConfigModify");
        s.timeout = d;
    }
    if (const pugi::xml_node range = ChildAnyNs(ChildAnyNs(c, "PanTiltLimits"), "Range")) {
        const std::string uri(Collapsed(ChildAnyNs(range, "URI").text().get()));
        const bool degrees = uri == kDegreesPosition;
        if (!degrees && uri != kPositionSpace) return BadArgs("limits are given in " + std::string(kPositionSpace) +
                                                              " or " + kDegreesPosition, "ter:ConfigModify");
        for (auto [axis, name, out] : {std::tuple{Axis::Pan, "XRange", &s.pan}, std::tuple{Axis::Tilt, "YRange", &s.tilt}}) {
            const pugi::xml_node r = ChildAnyNs(range, name);
            double lo = 0, hi = 0;
            if (!ParseNumber(ChildAnyNs(r, "Min").text().get(), lo) || !ParseNumber(ChildAnyNs(r, "Max").text().get(), hi) ||
                (!degrees && (lo < -1 || hi > 1)))
                return BadArgs(std::string(name) + " needs a Min and a Max in its space", "ter:ConfigModify");
            if (!degrees) {
                lo = DegreesOfGeneric(u, axis, lo);
                hi = DegreesOfGeneric(u, axis, hi);
                if (lo > hi) std::swap(lo, hi);
            }
            const motion::Range soft = u.LimitDegrees(axis);
            constexpr double kSlack = 1e-6;  // what the text of a number loses
            if (lo > hi || lo < soft.min - kSlack || hi > soft.max + kSlack)
                return BadArgs(std::string(name) + " must lie within " + FloatText(soft.min) + " to " + FloatText(soft.max) +
                               " degrees", "ter:ConfigModify");
            *out = {std::max(lo, soft.min), std::min(hi, soft.max)};
        }
    }
    {
        std::lock_guard lock(settingsMutex_);
        if (const std::string why = SaveSettings(s); !why.empty())
            return {500, Fault("Receiver", "ter:Action", "the configuration could not be saved (the gateway's log says why)")};
        settings_ = s;
    }
    if (notify) notify("tns1:Configuration/PTZConfiguration");
    return Ok("<tptz:SetConfigurationResponse/>");
}

namespace {

std::string TourXml(const motion::Tour& tour, const motion::TourStatus& now, const std::string& element,
                    const std::function<std::string(int32_t, int32_t)>& generic, const motion::Units& u) {
    const bool current = now.name == tour.name;
    const char* state = !current ? "Idle" : now.state == motion::TourState::Running ? "Touring"
                                          : now.state == motion::TourState::Paused ? "Paused" : "Idle";
    std::string spots;
    for (const motion::TourStep& step : tour.steps) {
        spots += "<tt:TourSpot><tt:PresetDetail>" +
                 (step.preset != 0 ? "<tt:PresetToken>" + std::to_string(step.preset) + "</tt:PresetToken>"
                                   : "<tt:PTZPosition>" + generic(u.Steps(Axis::Pan, step.pan), u.Steps(Axis::Tilt, step.tilt)) +
                                         "</tt:PTZPosition>") +
                 "</tt:PresetDetail>" +
                 (step.speed ? "<tt:Speed><tt:PanTilt x=\"" + FloatText(*step.speed) + "\" y=\"" + FloatText(*step.speed) +
                                   "\" space=\"" + kSpeedSpace + "\"/></tt:Speed>"
                             : "") +
                 "<tt:StayTime>" + Seconds(step.dwell) + "</tt:StayTime></tt:TourSpot>";
    }
    return "<" + element + " token=\"" + Escape(tour.name) + "\"><tt:Name>" + Escape(tour.name) +
           "</tt:Name><tt:Status><tt:State>" + state + "</tt:State></tt:Status><tt:AutoStart>false</tt:AutoStart>"
           "<tt:StartingCondition><tt:RecurringTime>" + (tour.loop ? "0" : "1") +
           "</tt:RecurringTime></tt:StartingCondition>" + spots + "</" + element + ">";
}

}  // namespace

// Tours by name: the token is the tour's name. RecurringTime 1 runs a
// tour once, 0 (or more than once) in a loop.
Reply Service::Tours(const std::string& op, const pugi::xml_node& in) {
    const motion::Units& u = motion_.units();
    const auto generic = [this](int32_t p, int32_t t) { return GenericXml(p, t); };
    const std::string token(Collapsed(ChildAnyNs(in, "PresetTourToken").text().get()));
    std::lock_guard lock(presetOps_);
    const auto empty = [&](const std::string& name) {
        return std::find(emptyTours_.begin(), emptyTours_.end(), name) != emptyTours_.end();
    };
    const auto noTour = [&] { return BadArgs("no preset tour \"" + token + "\"", "ter:NoToken"); };
    if (op == "GetPresetTours" || op == "GetPresetTour") {
        const motion::TourStatus now = motion_.CurrentTour();
        std::string list;
        for (const motion::Tour& t : motion_.Tours())
            if (op == "GetPresetTours" || t.name == token) list += TourXml(t, now, "tptz:PresetTour", generic, u);
        for (const std::string& name : emptyTours_)
            if (op == "GetPresetTours" || name == token) list += TourXml({name, {}, false}, now, "tptz:PresetTour", generic, u);
        if (op == "GetPresetTour" && list.empty()) return noTour();
        return Ok("<tptz:" + op + "Response>" + list + "</tptz:" + op + "Response>");
    }
    if (op == "GetPresetTourOptions") {
        std::string presets;
        const auto all = motion_.presets().All();
        for (int n = 1; n <= motion::kPresets; ++n)
            if (!all[n].name.empty()) presets += "<tt:PresetToken>" + std::to_string(n) + "</tt:PresetToken>";
        const PtzSettings s = Settings();
        return Ok("<tptz:GetPresetTourOptionsResponse><tptz:Options><tt:AutoStart>false</tt:AutoStart>"
                  "<tt:StartingCondition><tt:RecurringTime><tt:Min>0</tt:Min><tt:Max>1</tt:Max></tt:RecurringTime>"
                  "</tt:StartingCondition><tt:TourSpot><tt:PresetDetail>" + presets + "<tt:Home>false</tt:Home>" +
                  RangeXml("PanTiltPositionSpace", kDegreesPosition, s.pan, s.tilt) +
                  "</tt:PresetDetail><tt:StayTime><tt:Min>PT0S</tt:Min><tt:Max>" + Seconds(motion::kMaxDwell) +
                  "</tt:Max></tt:StayTime></tt:TourSpot></tptz:Options></tptz:GetPresetTourOptionsResponse>");
    }
    if (op == "CreatePresetTour") {
        if (motion_.Tours().size() + emptyTours_.size() >= motion::kMaxTours)
            return {500, Fault("Receiver", "ter:Action/ter:TooManyPresetTours", "no room for another preset tour")};
        std::string name;
        for (int n = 1; name.empty(); ++n) {
            const std::string candidate = "Tour " + std::to_string(n);
            if (!motion_.GetTour(candidate) && !empty(candidate)) name = candidate;
        }
        emptyTours_.push_back(name);
        return Ok("<tptz:CreatePresetTourResponse><tptz:PresetTourToken>" + Escape(name) +
                  "</tptz:PresetTourToken></tptz:CreatePresetTourResponse>");
    }
    if (op == "ModifyPresetTour") {
        const pugi::xml_node given = ChildAnyNs(in, "PresetTour");
        motion::Tour tour;
        tour.name = given.attribute("token").value();
        if (!motion_.GetTour(tour.name) && !empty(tour.name)) return BadArgs("no preset tour \"" + tour.name + "\"", "ter:NoToken");
        const pugi::xml_node recurring = ChildAnyNs(ChildAnyNs(given, "StartingCondition"), "RecurringTime");
        double times = 1;
        if (recurring && (!ParseNumber(recurring.text().get(), times) || times < 0 || times != std::floor(times)))
            return BadArgs("RecurringTime must be a whole number");
        tour.loop = times != 1;
        for (const pugi::xml_node spot : given.children()) {
            if (std::string_view(spot.name()).substr(std::string_view(spot.name()).find(':') + 1) != "TourSpot") continue;
            motion::TourStep step;
            const pugi::xml_node detail = ChildAnyNs(spot, "PresetDetail");
            if (ChildAnyNs(detail, "PresetToken")) {
                if (!PresetToken(detail, step.preset)) return BadArgs("preset tokens are \"1\" to \"16\"", "ter:NoToken");
            } else if (const pugi::xml_node pt = ChildAnyNs(ChildAnyNs(detail, "PTZPosition"), "PanTilt")) {
                const bool degrees = std::string(pt.attribute("space").value()) == kDegreesPosition;
                std::optional<double> x, y;
                if (degrees) {
                    if (auto why = PanTiltOf(pt, -360, 360, x, y); !why.empty()) return BadArgs(why, "ter:InvalidPosition");
                } else if (auto why = PanTiltOf(pt, -1, 1, x, y); !why.empty()) {
                    return BadArgs(why, "ter:InvalidPosition");
                }
                if (!x || !y) return BadArgs("a tour spot's position needs x and y", "ter:InvalidPosition");
                step.pan = degrees ? *x : DegreesOfGeneric(u, Axis::Pan, *x);
                step.tilt = degrees ? *y : DegreesOfGeneric(u, Axis::Tilt, *y);
                // Inside the range GetPresetTourOptions gives (this configuration's limits).
                const PtzSettings limits = Settings();
                constexpr double kSlack = 1e-9;
                if (step.pan < limits.pan.min - kSlack || step.pan > limits.pan.max + kSlack ||
                    step.tilt < limits.tilt.min - kSlack || step.tilt > limits.tilt.max + kSlack)
                    return BadArgs("a tour spot must lie within pan " + FloatText(limits.pan.min) + " to " +
                                       FloatText(limits.pan.max) + " and tilt " + FloatText(limits.tilt.min) + " to " +
                                       FloatText(limits.tilt.max) + " degrees",
                                   "ter:InvalidPosition");
            } else {
                return BadArgs("a tour spot goes to a preset (PresetToken) or a position (PTZPosition)");
            }
            std::optional<double> speed;
            if (auto why = SpeedOf(ChildAnyNs(spot, "Speed"), speed); !why.empty()) return BadArgs(why, "ter:InvalidSpeed");
            step.speed = speed;
            if (const pugi::xml_node stay = ChildAnyNs(spot, "StayTime"))
                if (!ParseDuration(stay.text().get(), step.dwell) || step.dwell > motion::kMaxDwell)
                    return BadArgs("StayTime must be a duration of at most " + Seconds(motion::kMaxDwell));
            tour.steps.push_back(step);
        }
        if (const std::string why = motion::CheckTour(tour, u); !why.empty()) return BadArgs(why);
        if (Reply r = Motion(motion_.PutTour(tour), "ModifyPresetTour"); r.status != 200) return r;
        std::erase(emptyTours_, tour.name);
        return Ok("<tptz:ModifyPresetTourResponse/>");
    }
    if (op == "OperatePresetTour") {
        if (!motion_.GetTour(token)) return noTour();
        const std::string operation(Collapsed(ChildAnyNs(in, "Operation").text().get()));
        if (closed_ && operation == "Start") return Closing();
        const motion::TourStatus now = motion_.CurrentTour();
        const bool mine = now.name == token;
        motion::Result r;
        if (operation == "Start")
            r = mine && now.state == motion::TourState::Paused ? motion_.ResumeTour() : motion_.StartTour(token);
        else if (operation == "Stop") r = mine ? motion_.StopTour() : motion::Result{};
        else if (operation == "Pause") r = mine ? motion_.PauseTour() : motion::Result{};
        else return BadArgs("Operation is Start, Stop or Pause");
        if (Reply reply = Motion(r, "OperatePresetTour"); reply.status != 200) return reply;
        return Ok("<tptz:OperatePresetTourResponse/>");
    }
    // RemovePresetTour
    if (empty(token)) {
        std::erase(emptyTours_, token);
        return Ok("<tptz:RemovePresetTourResponse/>");
    }
    if (Reply r = Motion(motion_.RemoveTour(token), "RemovePresetTour"); r.status != 200) return r;
    return Ok("<tptz:RemovePresetTourResponse/>");
}

void Service::AddPtz(Dispatch& d) {
    d.On(
        kPtz, "GetServiceCapabilities",
        [this](const Call&) -> Reply {
            return Ok(std::string("<tptz:GetServiceCapabilitiesResponse>") + kPtzCapabilities +
                      "</tptz:GetServiceCapabilitiesResponse>");
        },
        true);
    d.On(kPtz, "GetNodes", [this](const Call&) -> Reply {
        return Ok("<tptz:GetNodesResponse>" + NodeXml("tptz:PTZNode") + "</tptz:GetNodesResponse>");
    });
    d.On(kPtz, "GetNode", [this](const Call& call) -> Reply {
        const pugi::xml_node& in = call.request.operation;
        if (std::string(ChildAnyNs(in, "NodeToken").text().get()) != kNode) return BadArgs("no such node", "ter:NoEntity");
        return Ok("<tptz:GetNodeResponse>" + NodeXml("tptz:PTZNode") + "</tptz:GetNodeResponse>");
    });
    d.On(kPtz, "GetConfigurations", [this](const Call&) -> Reply {
        return Ok("<tptz:GetConfigurationsResponse>" + PtzConfigurationXml("tptz:PTZConfiguration") +
                  "</tptz:GetConfigurationsResponse>");
    });
    d.On(kPtz, "GetConfiguration", [this](const Call& call) -> Reply {
        const pugi::xml_node& in = call.request.operation;
        if (std::string(ChildAnyNs(in, "PTZConfigurationToken").text().get()) != kPtzConfig)
            return BadArgs("no such configuration", "ter:NoEntity");
        return Ok("<tptz:GetConfigurationResponse>" + PtzConfigurationXml("tptz:PTZConfiguration") +
                  "</tptz:GetConfigurationResponse>");
    });
    d.On(kPtz, "GetConfigurationOptions", [this](const Call& call) -> Reply {
        const pugi::xml_node& in = call.request.operation;
        if (std::string(ChildAnyNs(in, "ConfigurationToken").text().get()) != kPtzConfig)
            return BadArgs("no such configuration", "ter:NoEntity");
        return Ok("<tptz:GetConfigurationOptionsResponse><tptz:PTZConfigurationOptions><tt:Spaces>" + SpacesXml() +
                  "</tt:Spaces><tt:PTZTimeout><tt:Min>PT1S</tt:Min><tt:Max>" + Seconds(motion::kMaxLease) +
                  "</tt:Max></tt:PTZTimeout></tptz:PTZConfigurationOptions></tptz:GetConfigurationOptionsResponse>");
    });
    d.On(kPtz, "SetConfiguration", [this](const Call& call) -> Reply {
        const pugi::xml_node& in = call.request.operation;
        return SetConfiguration(in);
    });
    // Everything below works on the profile's head.
    // Everything below works on the profile's head: a request naming
    // another profile is refused first.
    const auto onProfile = [this, &d](const char* name, Operation operation) {
        d.On(kPtz, name, [this, operation](const Call& call) -> Reply {
            if (auto why = ProfileProblem(call.request.operation); !why.empty()) return BadArgs(why, "ter:NoProfile");
            return operation(call);
        });
    };
    onProfile("GetCompatibleConfigurations", [this](const Call&) -> Reply {
        return Ok("<tptz:GetCompatibleConfigurationsResponse>" + PtzConfigurationXml("tptz:PTZConfiguration") +
                  "</tptz:GetCompatibleConfigurationsResponse>");
    });
    onProfile("GetStatus", [this](const Call&) -> Reply {
        // From the shared state; right after the start the first reading may
        // still be on its way.
        const motion::Snapshot s = motion_.FirstReading(std::chrono::seconds(2));
        if (!s.linkUp || !s.known)
            return {500, Fault("Receiver", "ter:Action", "GetStatus: the head is not connected")};
        return Ok("<tptz:GetStatusResponse><tptz:PTZStatus><tt:Position>" + GenericXml(s.panSteps, s.tiltSteps) +
                  "</tt:Position><tt:MoveStatus><tt:PanTilt>" + (s.moving ? "MOVING" : "IDLE") +
                  "</tt:PanTilt></tt:MoveStatus><tt:UtcTime>" + UtcNow() +
                  "</tt:UtcTime></tptz:PTZStatus></tptz:GetStatusResponse>");
    });
    {
        const Operation move = [this](const Call& call) -> Reply {
            const std::string& op = call.request.name;
            const pugi::xml_node& in = call.request.operation;
            const motion::Units& u = motion_.units();
            // Everything is checked before the head is asked for anything.
            const bool absolute = op == "AbsoluteMove";
            const char* invalid = absolute ? "ter:InvalidPosition" : "ter:InvalidTranslation";
            const pugi::xml_node vector = ChildAnyNs(in, absolute ? "Position" : "Translation");
            if (!vector) return BadArgs(absolute ? "Position is missing" : "Translation is missing", invalid);
            if (auto why = ZoomProblem(vector); !why.empty()) return BadArgs(why, invalid);
            const pugi::xml_node panTilt = ChildAnyNs(vector, "PanTilt");
            const std::string space(Collapsed(panTilt.attribute("space").value()));
            const PtzSettings settings = Settings();
            const std::optional<MoveSpace> inSpace =
                SpaceOfMove(absolute, space, u, config_.fovHorizontal, config_.fovVertical);
            if (!inSpace) return BadArgs("this device has no space \"" + space + "\"", invalid);
            const MoveSpace& m = *inSpace;
            std::optional<double> x, y, speed, tiltSpeed;
            if (auto why = PanTiltOf(panTilt, m.min, m.max, x, y); !why.empty()) return BadArgs(why, invalid);
            if (absolute && space == kDegreesPosition) {
                const motion::Range mp = u.MechanicalDegrees(Axis::Pan), mt = u.MechanicalDegrees(Axis::Tilt);
                if ((x && (*x < mp.min || *x > mp.max)) || (y && (*y < mt.min || *y > mt.max)))
                    return BadArgs("the position is outside the head's range", invalid);
            }
            if (auto why = SpeedOf(ChildAnyNs(in, "Speed"), speed, &tiltSpeed); !why.empty()) return BadArgs(why, "ter:InvalidSpeed");
            if (closed_) return Closing();
            const motion::Pace pace{speed.value_or(settings.speed), std::nullopt, tiltSpeed};
            // Kept inside this configuration's limits, applied by the motion
            // layer to the target it works out when it sends the move (inside
            // the head's soft limits).
            const motion::Motion::Box box{settings.pan, settings.tilt};
            motion::Result result;
            if (absolute) {
                std::optional<double> pan, tilt;
                if (x) pan = m.degrees(Axis::Pan, *x);
                if (y) tilt = m.degrees(Axis::Tilt, *y);
                result = motion_.Absolute(pan, tilt, pace, box);
            } else {
                result = motion_.Relative(x ? m.degrees(Axis::Pan, *x) : 0, y ? m.degrees(Axis::Tilt, *y) : 0, pace, box);
            }
            if (Reply reply = Motion(result, op.c_str()); reply.status != 200) return reply;
            return Ok("<tptz:" + op + "Response/>");
        };
        for (const char* name : {"AbsoluteMove", "RelativeMove"}) onProfile(name, move);
    }
    // To look at a place: from the head's location (SetGeoLocation or the
    // configuration) through its orientation, inside this configuration's
    // limits. No elevation: the ground's, when the head has a ground height.
    onProfile("GeoMove", [this](const Call& call) -> Reply {
        const pugi::xml_node& in = call.request.operation;
        const pugi::xml_node target = ChildAnyNs(in, "Target");
        if (!target) return BadArgs("Target is missing");
        GeoAttributes at;
        if (auto why = ParseGeoLocation(target, at); !why.empty()) return BadArgs(why);
        if (!at.lat || !at.lon) return BadArgs("Target needs lat and lon");
        std::optional<double> speed, tiltSpeed;
        if (auto why = SpeedOf(ChildAnyNs(in, "Speed"), speed, &tiltSpeed); !why.empty()) return BadArgs(why, "ter:InvalidSpeed");
        const std::optional<motion::GeoPose> pose = motion_.Pose();
        if (!pose)
            return {500, Fault("Receiver", "ter:Action/ter:GeoLocationUnknown",
                               "GeoMove: the device has no location (SetGeoLocation, or location in the configuration)")};
        if (!at.elevation && !pose->groundHeight) return BadArgs("Target needs an elevation (the head has no ground height)");
        if (closed_) return Closing();
        const PtzSettings settings = Settings();
        const motion::Result r = motion_.PointAt({*at.lat, *at.lon, at.elevation.value_or(pose->groundHeight.value_or(0))},
                                                 {speed.value_or(settings.speed), std::nullopt, tiltSpeed},
                                                 motion::Motion::Box{settings.pan, settings.tilt});
        if (r.status == motion::Status::BadArgument) return BadArgs("GeoMove: " + r.message, "ter:UnreachablePosition");
        if (Reply reply = Motion(r, "GeoMove"); reply.status != 200) return reply;
        return Ok("<tptz:GeoMoveResponse/>");
    });
    onProfile("ContinuousMove", [this](const Call& call) -> Reply {
        const pugi::xml_node& in = call.request.operation;
        const pugi::xml_node velocity = ChildAnyNs(in, "Velocity");
        if (!velocity) return BadArgs("Velocity is missing", "ter:InvalidVelocity");
        if (auto why = ZoomProblem(velocity); !why.empty()) return BadArgs(why, "ter:InvalidVelocity");
        const std::string space(Collapsed(ChildAnyNs(velocity, "PanTilt").attribute("space").value()));
        if (!space.empty() && space != kVelocitySpace) return BadArgs("this device has no space \"" + space + "\"", "ter:InvalidVelocity");
        std::optional<double> vx, vy;
        if (auto why = PanTiltOf(ChildAnyNs(velocity, "PanTilt"), -1, 1, vx, vy); !why.empty())
            return BadArgs(why, "ter:InvalidVelocity");
        // No Timeout runs for the advertised DefaultPTZTimeout, and so does
        // PT0S: it is taken as "no time given" (clients send it for that),
        // not refused and never as "forever".
        const PtzSettings settings = Settings();
        std::chrono::milliseconds timeout = settings.timeout;
        if (const pugi::xml_node t = ChildAnyNs(in, "Timeout")) {
            std::chrono::milliseconds given{0};
            if (!ParseDuration(t.text().get(), given)) return BadArgs("Timeout must be a duration of at most a day, like PT5S");
            // Longer than the longest lease: the longest (PTZTimeout's Max).
            if (given.count() > 0) timeout = std::min(given, motion::kMaxLease);
        }
        if (closed_) return Closing();
        if (Reply reply = Motion(motion_.Continuous(vx.value_or(0), vy.value_or(0), timeout,
                                                     motion::Motion::Box{settings.pan, settings.tilt}), "ContinuousMove");
            reply.status != 200)
            return reply;
        return Ok("<tptz:ContinuousMoveResponse/>");
    });
    onProfile("Stop", [this](const Call& call) -> Reply {
        const pugi::xml_node& in = call.request.operation;
        // PanTilt false asks for nothing to stop (there is no zoom here).
        const std::string_view panTilt = Collapsed(ChildAnyNs(in, "PanTilt").text().get());
        if (panTilt == "false" || panTilt == "0") return Ok("<tptz:StopResponse/>");
        if (Reply reply = Motion(motion_.Stop(), "Stop"); reply.status != 200) return reply;
        return Ok("<tptz:StopResponse/>");
    });
    onProfile("GetPresets", [this](const Call&) -> Reply {
        std::string list;
        const auto all = motion_.presets().All();
        for (int n = 1; n <= motion::kPresets; ++n) {
            const motion::PresetInfo& p = all[n];
            if (p.name.empty()) continue;
            list += "<tptz:Preset token=\"" + std::to_string(n) + "\"><tt:Name>" + Escape(p.name) + "</tt:Name>" +
                    (p.pan && p.tilt ? "<tt:PTZPosition>" + GenericXml(*p.pan, *p.tilt) + "</tt:PTZPosition>" : "") +
                    "</tptz:Preset>";
        }
        return Ok("<tptz:GetPresetsResponse>" + list + "</tptz:GetPresetsResponse>");
    });
    onProfile("SetPreset", [this](const Call& call) -> Reply {
        const pugi::xml_node& in = call.request.operation;
        return SetPreset(in);
    });
    {
        const Operation preset = [this](const Call& call) -> Reply {
            const std::string& op = call.request.name;
            const pugi::xml_node& in = call.request.operation;
            int preset = 0;
            if (!PresetToken(in, preset) || motion_.presets().Get(preset).name.empty())
                return BadArgs("no preset with that token", "ter:NoToken");
            if (op == "RemovePreset") {
                std::lock_guard lock(presetOps_);
                if (Reply reply = Motion(motion_.RemovePreset(preset), "RemovePreset"); reply.status != 200) return reply;
                return Ok("<tptz:RemovePresetResponse/>");
            }
            std::optional<double> speed, tiltSpeed;
            if (auto why = SpeedOf(ChildAnyNs(in, "Speed"), speed, &tiltSpeed); !why.empty()) return BadArgs(why, "ter:InvalidSpeed");
            if (closed_) return Closing();
            if (Reply reply = Motion(motion_.GoPreset(preset, {speed, std::nullopt, tiltSpeed}), "GotoPreset"); reply.status != 200)
                return reply;
            return Ok("<tptz:GotoPresetResponse/>");
        };
        for (const char* name : {"GotoPreset", "RemovePreset"}) onProfile(name, preset);
    }
    onProfile("GotoHomePosition", [this](const Call&) -> Reply {
        if (closed_) return Closing();
        if (Reply reply = Motion(motion_.Home(), "GotoHomePosition"); reply.status != 200) return reply;
        return Ok("<tptz:GotoHomePositionResponse/>");
    });
    onProfile("SetHomePosition", [this](const Call&) -> Reply {
        if (Reply reply = Motion(motion_.StoreHome(), "SetHomePosition"); reply.status != 200) return reply;
        return Ok("<tptz:SetHomePositionResponse/>");
    });
    onProfile("SendAuxiliaryCommand", [this](const Call& call) -> Reply {
        const pugi::xml_node& in = call.request.operation;
        const std::string_view command = Collapsed(ChildAnyNs(in, "AuxiliaryData").text().get());
        if (command != kIrOn && command != kIrOff)
            return BadArgs("the auxiliary commands are " + std::string(kIrOn) + " and " + kIrOff);
        if (Reply reply = Motion(motion_.SetInfrared(command == kIrOn), "SendAuxiliaryCommand"); reply.status != 200)
            return reply;
        return Ok("<tptz:SendAuxiliaryCommandResponse><tptz:AuxiliaryResponse>" + std::string(command) +
                  "</tptz:AuxiliaryResponse></tptz:SendAuxiliaryCommandResponse>");
    });
    {
        const Operation tour = [this](const Call& call) -> Reply {
            return Tours(call.request.name, call.request.operation);
        };
        for (const char* name : {"GetPresetTours", "GetPresetTour", "GetPresetTourOptions", "CreatePresetTour",
                                 "ModifyPresetTour", "OperatePresetTour", "RemovePresetTour"})
            onProfile(name, tour);
    }
}

}  // namespace ptzd::onvif
