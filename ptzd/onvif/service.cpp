#include "service.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "log.h"
#include "ptz.h"

namespace ptzd::onvif {

namespace {

constexpr const char* kProfile = "Profile_1";
constexpr const char* kPtzConfig = "PTZConfig_1";
constexpr const char* kNode = "PTZNode_1";
constexpr const char* kSource = "VideoSource_1";
constexpr const char* kSourceConfig = "VideoSourceConfig_1";
constexpr const char* kEncoderConfig = "VideoEncoderConfig_1";
constexpr const char* kPositionSpace = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace";
constexpr const char* kTranslationSpace = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/TranslationGenericSpace";
constexpr const char* kVelocitySpace = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace";
constexpr const char* kSpeedSpace = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/GenericSpeedSpace";
constexpr std::chrono::milliseconds kStillInterval{40};

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    gmtime_r(&now, &t);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
    return text;
}

// An xs:duration such as "PT5S", "PT0.5S", "PT1M30S"; false when it is not one.
bool ParseDuration(const std::string& text, std::chrono::milliseconds& out) {
    if (text.rfind("PT", 0) != 0) return false;
    double total = 0, value = 0;
    bool haveValue = false;
    for (size_t i = 2; i < text.size();) {
        size_t used = 0;
        try {
            value = std::stod(text.substr(i), &used);
        } catch (...) {
            return false;
        }
        i += used;
        if (i >= text.size() || !std::isfinite(value) || value < 0) return false;
        const char unit = text[i++];
        total += value * (unit == 'H' ? 3600 : unit == 'M' ? 60 : unit == 'S' ? 1 : -1e12);
        if (total < 0) return false;
        haveValue = true;
    }
    if (!haveValue || !std::isfinite(total) || total > 86400) return false;
    out = std::chrono::milliseconds(static_cast<int64_t>(total * 1000));
    return true;
}

bool Attribute(const pugi::xml_node& node, const char* name, double& value) {
    const pugi::xml_attribute a = node.attribute(name);
    if (!a) return false;
    char* end = nullptr;
    value = std::strtod(a.value(), &end);
    return end != a.value() && *end == '\0' && std::isfinite(value);
}

std::string NewUuid() {
    std::random_device random;
    std::uniform_int_distribution<int> hex(0, 15);
    std::string u = "xxxxxxxx-xxxx-4xxx-8xxx-xxxxxxxxxxxx";
    for (char& c : u)
        if (c == 'x') c = "0123456789abcdef"[hex(random)];
    return u;
}

}  // namespace

// ---- preset names ---------------------------------------------------------------

PresetNames::PresetNames(std::string file) : file_(std::move(file)) {
    if (file_.empty()) return;
    std::ifstream in(file_);
    if (!in) return;
    const auto data = nlohmann::json::parse(in, nullptr, false);
    if (!data.is_object()) return;
    for (int n = 1; n <= 16; ++n)
        if (auto it = data.find(std::to_string(n)); it != data.end() && it->is_string()) names_[n] = *it;
}

std::string PresetNames::Get(int preset) {
    std::lock_guard lock(mutex_);
    return names_[preset];
}

void PresetNames::Set(int preset, const std::string& name) {
    std::lock_guard lock(mutex_);
    names_[preset] = name;
    Save();
}

void PresetNames::Remove(int preset) {
    std::lock_guard lock(mutex_);
    names_[preset].clear();
    Save();
}

int PresetNames::FirstFree() {
    std::lock_guard lock(mutex_);
    for (int n = 1; n <= 16; ++n)
        if (names_[n].empty()) return n;
    return 0;
}

void PresetNames::Save() {
    if (file_.empty()) return;
    nlohmann::json data = nlohmann::json::object();
    for (int n = 1; n <= 16; ++n)
        if (!names_[n].empty()) data[std::to_string(n)] = names_[n];
    // Written beside the file and renamed over it: never half a file.
    const std::string temporary = file_ + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << data.dump(2) << "\n";
        if (!out) {
            Log(Level::Warn, "cannot write preset names to " + temporary);
            return;
        }
    }
    if (std::rename(temporary.c_str(), file_.c_str()) != 0) Log(Level::Warn, "cannot replace " + file_);
}

// ---- the service ------------------------------------------------------------------

Service::Service(HeadWorker& head, const OnvifConfig& config, const std::string& stateFile)
    : head_(head), config_(config), auth_(config.user, config.password), presets_(stateFile), uuid_(NewUuid()) {
    timer_ = std::thread([this] {
        std::unique_lock lock(timerMutex_);
        while (!stopping_) {
            if (stopAt_ == std::chrono::steady_clock::time_point::max()) {
                timerWake_.wait(lock);
                continue;
            }
            if (timerWake_.wait_until(lock, stopAt_) == std::cv_status::timeout &&
                std::chrono::steady_clock::now() >= stopAt_) {
                stopAt_ = std::chrono::steady_clock::time_point::max();
                lock.unlock();
                const Mapping& m = head_.config().mapping;
                head_.Call([&](int32_t link) {
                    PTZ_LinkStopMotor(link, m.panMotor);
                    return PTZ_LinkStopMotor(link, m.tiltMotor);
                });
                lock.lock();
            }
        }
    });
}

Service::~Service() {
    {
        std::lock_guard lock(timerMutex_);
        stopping_ = true;
    }
    timerWake_.notify_all();
    timer_.join();
}

void Service::StopAfter(std::chrono::milliseconds timeout) {
    {
        std::lock_guard lock(timerMutex_);
        stopAt_ = timeout.count() > 0 ? std::chrono::steady_clock::now() + timeout
                                      : std::chrono::steady_clock::time_point::max();
    }
    timerWake_.notify_all();
}

std::string Service::BaseUrl() const {
    return "http://" + config_.address.host + ":" + std::to_string(config_.address.port);
}

std::string Service::Scopes() const {
    return "onvif://www.onvif.org/type/ptz onvif://www.onvif.org/type/video_encoder "
           "onvif://www.onvif.org/Profile/Streaming onvif://www.onvif.org/name/" + head_.config().name +
           " onvif://www.onvif.org/hardware/ptz-head";
}

double Service::ToGeneric(int32_t value, int32_t min, int32_t max) const {
    const double g = -1.0 + 2.0 * (static_cast<double>(value) - min) / (static_cast<double>(max) - min);
    return std::clamp(g, -1.0, 1.0);
}

int32_t Service::FromGeneric(double value, int32_t min, int32_t max) const {
    const double v = std::clamp(value, -1.0, 1.0);
    return static_cast<int32_t>(std::lround(min + (v + 1.0) / 2.0 * (static_cast<double>(max) - min)));
}

Service::Reply Service::Unsupported(const std::string& what) {
    return {400, Fault("Sender", "ter:ActionNotSupported", what + " is not supported by this device")};
}

Service::Reply Service::BadArgs(const std::string& why) {
    return {400, Fault("Sender", "ter:InvalidArgVal", why)};
}

Service::Reply Service::HeadFailure(const Outcome& o, const char* what) {
    if (o.result == kLinkDown) return {500, Fault("Receiver", "ter:Action", std::string(what) + ": the head is not connected")};
    if (o.result == PTZ_BAD_PARAM) return BadArgs(std::string(what) + ": the value is out of the head's range");
    char text[320];
    PTZ_GetErrorText(o.kind, o.code, text, sizeof text);
    head_.NoteFailure(std::string("ONVIF ") + what, o.kind, o.code);
    return {500, Fault("Receiver", "ter:Action", std::string(what) + ": " + text)};
}

int Service::Handle(const std::string& body, std::string& response, const std::string& host) {
    Request request;
    // A host text with anything but name, address and port characters is ignored.
    const bool plainHost = !host.empty() && host.size() < 256 &&
                           host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]") ==
                               std::string::npos;
    request.base = plainHost ? "http://" + host : BaseUrl();
    if (const std::string why = Parse(body, request); !why.empty()) {
        response = Fault("Sender", "ter:WellFormed", why);
        return 400;
    }
    static const char* open[] = {"GetSystemDateAndTime", "GetCapabilities", "GetServices", "GetServiceCapabilities"};
    const bool free = std::find(std::begin(open), std::end(open), request.name) != std::end(open);
    if (!free) {
        if (const std::string why = auth_.Check(request.header); !why.empty()) {
            response = Fault("Sender", "ter:NotAuthorized", why);
            return 400;
        }
    }
    Reply reply;
    if (request.ns == kDevice) reply = Device(request);
    else if (request.ns == kMedia) reply = Media(request);
    else if (request.ns == kPtz) reply = Ptz(request);
    else reply = Unsupported("{" + request.ns + "}" + request.name);
    response = std::move(reply.body);
    return reply.status;
}

// ---- device ---------------------------------------------------------------------------

Service::Reply Service::Device(const Request& r) {
    const std::string& op = r.name;
    const std::string& base = r.base;
    if (op == "GetSystemDateAndTime") {
        const std::time_t now = std::time(nullptr);
        std::tm t{};
        gmtime_r(&now, &t);
        char body[512];
        std::snprintf(body, sizeof body,
                      "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime>"
                      "<tt:DateTimeType>Manual</tt:DateTimeType><tt:DaylightSavings>false</tt:DaylightSavings>"
                      "<tt:TimeZone><tt:TZ>UTC0</tt:TZ></tt:TimeZone><tt:UTCDateTime>"
                      "<tt:Time><tt:Hour>%d</tt:Hour><tt:Minute>%d</tt:Minute><tt:Second>%d</tt:Second></tt:Time>"
                      "<tt:Date><tt:Year>%d</tt:Year><tt:Month>%d</tt:Month><tt:Day>%d</tt:Day></tt:Date>"
                      "</tt:UTCDateTime></tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>",
                      t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
        return Ok(body);
    }
    if (op == "GetCapabilities") {
        return Ok("<tds:GetCapabilitiesResponse><tds:Capabilities>"
                  "<tt:Device><tt:XAddr>" + base + "/onvif/device_service</tt:XAddr></tt:Device>"
                  "<tt:Media><tt:XAddr>" + base + "/onvif/media_service</tt:XAddr><tt:StreamingCapabilities>"
                  "<tt:RTPMulticast>false</tt:RTPMulticast><tt:RTP_TCP>true</tt:RTP_TCP>"
                  "<tt:RTP_RTSP_TCP>true</tt:RTP_RTSP_TCP></tt:StreamingCapabilities></tt:Media>"
                  "<tt:PTZ><tt:XAddr>" + base + "/onvif/ptz_service</tt:XAddr></tt:PTZ>"
                  "</tds:Capabilities></tds:GetCapabilitiesResponse>");
    }
    if (op == "GetServices") {
        const bool capabilities = std::string(ChildAnyNs(r.operation, "IncludeCapability").text().get()) == "true";
        auto service = [&](const char* ns, const char* path, const std::string& caps, int minor) {
            return std::string("<tds:Service><tds:Namespace>") + ns + "</tds:Namespace><tds:XAddr>" + base + path +
                   "</tds:XAddr>" + (capabilities ? "<tds:Capabilities>" + caps + "</tds:Capabilities>" : "") +
                   "<tds:Version><tt:Major>2</tt:Major><tt:Minor>" + std::to_string(minor) +
                   "</tt:Minor></tds:Version></tds:Service>";
        };
        return Ok("<tds:GetServicesResponse>" +
                  service(kDevice, "/onvif/device_service",
                          "<tds:Capabilities><tds:Network/><tds:Security UsernameToken=\"true\"/><tds:System/></tds:Capabilities>", 60) +
                  service(kMedia, "/onvif/media_service",
                          "<trt:Capabilities SnapshotUri=\"" + std::string(config_.snapshot.empty() ? "false" : "true") +
                              "\"><trt:ProfileCapabilities MaximumNumberOfProfiles=\"1\"/><trt:StreamingCapabilities "
                              "RTP_TCP=\"true\" RTP_RTSP_TCP=\"true\"/></trt:Capabilities>", 60) +
                  service(kPtz, "/onvif/ptz_service",
                          "<tptz:Capabilities EFlip=\"false\" Reverse=\"false\" GetCompatibleConfigurations=\"false\" "
                          "MoveStatus=\"true\" StatusPosition=\"true\"/>", 60) +
                  "</tds:GetServicesResponse>");
    }
    if (op == "GetServiceCapabilities")
        return Ok("<tds:GetServiceCapabilitiesResponse><tds:Capabilities><tds:Network/>"
                  "<tds:Security UsernameToken=\"true\"/><tds:System DiscoveryBye=\"true\"/></tds:Capabilities>"
                  "</tds:GetServiceCapabilitiesResponse>");
    if (op == "GetDeviceInformation") {
        PTZ_SYSTEM_INFO info{};
        const Outcome o = head_.Call([&](int32_t link) { return PTZ_LinkGetSystemInfo(link, &info); });
        const bool known = o.result == PTZ_OK;
        return Ok("<tds:GetDeviceInformationResponse><tds:Manufacturer>ptz</tds:Manufacturer><tds:Model>" +
                  Escape(known ? info.text0 : "pan/tilt head") + "</tds:Model><tds:FirmwareVersion>" +
                  Escape(known ? info.text1 : "unknown") + "</tds:FirmwareVersion><tds:SerialNumber>" +
                  Escape(known ? info.text2 : head_.config().name) + "</tds:SerialNumber><tds:HardwareId>" +
                  Escape(head_.config().name) + "</tds:HardwareId></tds:GetDeviceInformationResponse>");
    }
    if (op == "GetNetworkInterfaces")
        return Ok("<tds:GetNetworkInterfacesResponse><tds:NetworkInterfaces token=\"eth0\"><tt:Enabled>true</tt:Enabled>"
                  "<tt:Info><tt:Name>eth0</tt:Name><tt:HwAddress>00:00:00:00:00:00</tt:HwAddress></tt:Info>"
                  "<tt:IPv4><tt:Enabled>true</tt:Enabled><tt:Config><tt:Manual><tt:Address>" +
                  Escape(config_.address.host) + "</tt:Address><tt:PrefixLength>24</tt:PrefixLength></tt:Manual>"
                  "<tt:DHCP>false</tt:DHCP></tt:Config></tt:IPv4></tds:NetworkInterfaces></tds:GetNetworkInterfacesResponse>");
    if (op == "GetScopes") {
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
    }
    if (op == "GetHostname")
        return Ok("<tds:GetHostnameResponse><tds:HostnameInformation><tt:FromDHCP>false</tt:FromDHCP><tt:Name>" +
                  Escape(head_.config().name) + "</tt:Name></tds:HostnameInformation></tds:GetHostnameResponse>");
    return Unsupported(op);
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

std::string Service::ProfileXml() {
    return "<tt:Name>" + Escape(head_.config().name) + "</tt:Name>" +
           SourceConfigurationXml("tt:VideoSourceConfiguration") +
           EncoderConfigurationXml("tt:VideoEncoderConfiguration") + PtzConfigurationXml("tt:PTZConfiguration");
}

Service::Reply Service::Media(const Request& r) {
    const std::string& op = r.name;
    auto checkProfile = [&]() -> std::string {
        const std::string token = ChildAnyNs(r.operation, "ProfileToken").text().get();
        return token == kProfile ? "" : "no profile \"" + token + "\"";
    };
    if (op == "GetServiceCapabilities")
        return Ok("<trt:GetServiceCapabilitiesResponse><trt:Capabilities SnapshotUri=\"" +
                  std::string(config_.snapshot.empty() ? "false" : "true") +
                  "\"><trt:ProfileCapabilities MaximumNumberOfProfiles=\"1\"/><trt:StreamingCapabilities "
                  "RTP_TCP=\"true\" RTP_RTSP_TCP=\"true\"/></trt:Capabilities></trt:GetServiceCapabilitiesResponse>");
    if (op == "GetProfiles")
        return Ok("<trt:GetProfilesResponse><trt:Profiles token=\"" + std::string(kProfile) + "\" fixed=\"true\">" +
                  ProfileXml() + "</trt:Profiles></trt:GetProfilesResponse>");
    if (op == "GetProfile") {
        if (auto why = checkProfile(); !why.empty()) return {400, Fault("Sender", "ter:InvalidArgVal", why)};
        return Ok("<trt:GetProfileResponse><trt:Profile token=\"" + std::string(kProfile) + "\" fixed=\"true\">" +
                  ProfileXml() + "</trt:Profile></trt:GetProfileResponse>");
    }
    if (op == "GetVideoSources")
        return Ok("<trt:GetVideoSourcesResponse><trt:VideoSources token=\"" + std::string(kSource) +
                  "\"><tt:Framerate>25</tt:Framerate><tt:Resolution><tt:Width>1920</tt:Width><tt:Height>1080</tt:Height>"
                  "</tt:Resolution></trt:VideoSources></trt:GetVideoSourcesResponse>");
    if (op == "GetVideoSourceConfigurations")
        return Ok("<trt:GetVideoSourceConfigurationsResponse>" + SourceConfigurationXml("trt:Configurations") +
                  "</trt:GetVideoSourceConfigurationsResponse>");
    if (op == "GetVideoEncoderConfigurations")
        return Ok("<trt:GetVideoEncoderConfigurationsResponse>" + EncoderConfigurationXml("trt:Configurations") +
                  "</trt:GetVideoEncoderConfigurationsResponse>");
    if (op == "GetStreamUri" || op == "GetSnapshotUri") {
        if (auto why = checkProfile(); !why.empty()) return {400, Fault("Sender", "ter:InvalidArgVal", why)};
        const std::string& uri = op == "GetStreamUri" ? config_.rtsp : config_.snapshot;
        if (uri.empty())
            return {400, Fault("Sender", "ter:InvalidArgVal",
                               op == "GetStreamUri" ? "no stream address (rtsp) is configured for this head"
                                                    : "no snapshot address is configured for this head")};
        return Ok("<trt:" + op + "Response><trt:MediaUri><tt:Uri>" + Escape(uri) +
                  "</tt:Uri><tt:InvalidAfterConnect>false</tt:InvalidAfterConnect><tt:InvalidAfterReboot>false"
                  "</tt:InvalidAfterReboot><tt:Timeout>PT0S</tt:Timeout></trt:MediaUri></trt:" + op + "Response>");
    }
    return Unsupported(op);
}

// ---- PTZ --------------------------------------------------------------------------------

std::string Service::SpacesXml() {
    auto space2 = [](const char* element, const char* uri, const char* min, const char* max) {
        return std::string("<tt:") + element + "><tt:URI>" + uri + "</tt:URI><tt:XRange><tt:Min>" + min +
               "</tt:Min><tt:Max>" + max + "</tt:Max></tt:XRange><tt:YRange><tt:Min>" + min + "</tt:Min><tt:Max>" +
               max + "</tt:Max></tt:YRange></tt:" + element + ">";
    };
    return space2("AbsolutePanTiltPositionSpace", kPositionSpace, "-1", "1") +
           space2("RelativePanTiltTranslationSpace", kTranslationSpace, "-1", "1") +
           space2("ContinuousPanTiltVelocitySpace", kVelocitySpace, "-1", "1") +
           std::string("<tt:PanTiltSpeedSpace><tt:URI>") + kSpeedSpace +
           "</tt:URI><tt:XRange><tt:Min>0</tt:Min><tt:Max>1</tt:Max></tt:XRange></tt:PanTiltSpeedSpace>";
}

std::string Service::PtzConfigurationXml(const char* element) {
    return std::string("<") + element + " token=\"" + kPtzConfig + "\"><tt:Name>PTZConfig</tt:Name>"
           "<tt:UseCount>1</tt:UseCount><tt:NodeToken>" + kNode + "</tt:NodeToken>"
           "<tt:DefaultAbsolutePantTiltPositionSpace>" + kPositionSpace + "</tt:DefaultAbsolutePantTiltPositionSpace>"
           "<tt:DefaultRelativePanTiltTranslationSpace>" + kTranslationSpace + "</tt:DefaultRelativePanTiltTranslationSpace>"
           "<tt:DefaultContinuousPanTiltVelocitySpace>" + kVelocitySpace + "</tt:DefaultContinuousPanTiltVelocitySpace>"
           "<tt:DefaultPTZSpeed><tt:PanTilt x=\"1\" y=\"1\" space=\"" + kSpeedSpace + "\"/></tt:DefaultPTZSpeed>"
           "<tt:DefaultPTZTimeout>PT10S</tt:DefaultPTZTimeout>"
           "<tt:PanTiltLimits><tt:Range><tt:URI>" + kPositionSpace + "</tt:URI><tt:XRange><tt:Min>-1</tt:Min>"
           "<tt:Max>1</tt:Max></tt:XRange><tt:YRange><tt:Min>-1</tt:Min><tt:Max>1</tt:Max></tt:YRange></tt:Range>"
           "</tt:PanTiltLimits></" + element + ">";
}

std::string Service::NodeXml(const char* element) {
    return std::string("<") + element + " token=\"" + kNode + "\" FixedHomePosition=\"false\"><tt:Name>" +
           Escape(head_.config().name) + "</tt:Name><tt:SupportedPTZSpaces>" + SpacesXml() +
           "</tt:SupportedPTZSpaces><tt:MaximumNumberOfPresets>16</tt:MaximumNumberOfPresets>"
           "<tt:HomeSupported>true</tt:HomeSupported></" + element + ">";
}

Outcome Service::SetSpeed(double generic) {
    const Mapping& m = head_.config().mapping;
    const auto speed = static_cast<int32_t>(std::lround(m.speedMin + std::clamp(generic, 0.0, 1.0) * (m.speedMax - m.speedMin)));
    return head_.Call([&](int32_t link) {
        const int32_t r = PTZ_LinkSetMotorSpeed(link, m.panMotor, speed);
        return r != PTZ_OK ? r : PTZ_LinkSetMotorSpeed(link, m.tiltMotor, speed);
    });
}

Outcome Service::Move(int32_t pan, int32_t tilt) {
    const Mapping& m = head_.config().mapping;
    return head_.Call([&](int32_t link) { return PTZ_LinkSetPTPos(link, m.moveParam, pan, tilt); });
}

Service::Reply Service::Ptz(const Request& r) {
    const std::string& op = r.name;
    const Mapping& m = head_.config().mapping;
    const pugi::xml_node& in = r.operation;
    auto checkProfile = [&]() -> std::string {
        const std::string token = ChildAnyNs(in, "ProfileToken").text().get();
        return token == kProfile ? "" : "no profile \"" + token + "\"";
    };
    auto position = [&](int32_t& pan, int32_t& tilt) {
        return head_.Call([&](int32_t link) { return PTZ_LinkGetPTPos(link, &pan, &tilt); });
    };
    // A zoom is accepted only when it asks for nothing.
    auto zoomIsZero = [&](const pugi::xml_node& vector) {
        const pugi::xml_node zoom = ChildAnyNs(vector, "Zoom");
        double x = 0;
        return !zoom || !Attribute(zoom, "x", x) || x == 0;
    };

    if (op == "GetServiceCapabilities")
        return Ok("<tptz:GetServiceCapabilitiesResponse><tptz:Capabilities EFlip=\"false\" Reverse=\"false\" "
                  "GetCompatibleConfigurations=\"false\" MoveStatus=\"true\" StatusPosition=\"true\"/>"
                  "</tptz:GetServiceCapabilitiesResponse>");
    if (op == "GetNodes") return Ok("<tptz:GetNodesResponse>" + NodeXml("tptz:PTZNode") + "</tptz:GetNodesResponse>");
    if (op == "GetNode") {
        if (std::string(ChildAnyNs(in, "NodeToken").text().get()) != kNode) return BadArgs("no such node");
        return Ok("<tptz:GetNodeResponse>" + NodeXml("tptz:PTZNode") + "</tptz:GetNodeResponse>");
    }
    if (op == "GetConfigurations")
        return Ok("<tptz:GetConfigurationsResponse>" + PtzConfigurationXml("tptz:PTZConfiguration") +
                  "</tptz:GetConfigurationsResponse>");
    if (op == "GetConfiguration") {
        if (std::string(ChildAnyNs(in, "PTZConfigurationToken").text().get()) != kPtzConfig)
            return BadArgs("no such configuration");
        return Ok("<tptz:GetConfigurationResponse>" + PtzConfigurationXml("tptz:PTZConfiguration") +
                  "</tptz:GetConfigurationResponse>");
    }
    if (op == "GetConfigurationOptions") {
        if (std::string(ChildAnyNs(in, "ConfigurationToken").text().get()) != kPtzConfig)
            return BadArgs("no such configuration");
        return Ok("<tptz:GetConfigurationOptionsResponse><tptz:PTZConfigurationOptions><tt:Spaces>" + SpacesXml() +
                  "</tt:Spaces><tt:PTZTimeout><tt:Min>PT1S</tt:Min><tt:Max>PT60S</tt:Max></tt:PTZTimeout>"
                  "</tptz:PTZConfigurationOptions></tptz:GetConfigurationOptionsResponse>");
    }

    // Everything below works on the profile's head.
    if (auto why = checkProfile(); !why.empty()) return BadArgs(why);

    if (op == "GetStatus") {
        int32_t pan = 0, tilt = 0, pan2 = 0, tilt2 = 0;
        Outcome o = position(pan, tilt);
        if (o.result != PTZ_OK) return HeadFailure(o, "GetStatus");
        // Two readings a moment apart that agree: the head is still. (The
        // wait is this request's own; the head serves others meanwhile.)
        std::this_thread::sleep_for(kStillInterval);
        o = position(pan2, tilt2);
        if (o.result != PTZ_OK) return HeadFailure(o, "GetStatus");
        const bool idle = pan == pan2 && tilt == tilt2;
        return Ok("<tptz:GetStatusResponse><tptz:PTZStatus><tt:Position><tt:PanTilt x=\"" +
                  Number(ToGeneric(pan2, m.panMin, m.panMax)) + "\" y=\"" + Number(ToGeneric(tilt2, m.tiltMin, m.tiltMax)) +
                  "\" space=\"" + kPositionSpace + "\"/></tt:Position><tt:MoveStatus><tt:PanTilt>" +
                  (idle ? "IDLE" : "MOVING") + "</tt:PanTilt></tt:MoveStatus><tt:UtcTime>" + UtcNow() +
                  "</tt:UtcTime></tptz:PTZStatus></tptz:GetStatusResponse>");
    }
    if (op == "AbsoluteMove" || op == "RelativeMove") {
        const bool absolute = op == "AbsoluteMove";
        const pugi::xml_node vector = ChildAnyNs(in, absolute ? "Position" : "Translation");
        if (!vector) return BadArgs(absolute ? "Position is missing" : "Translation is missing");
        if (!zoomIsZero(vector)) return BadArgs("this head has no zoom");
        const pugi::xml_node panTilt = ChildAnyNs(vector, "PanTilt");
        double x = 0, y = 0;
        const bool hasX = panTilt && Attribute(panTilt, "x", x), hasY = panTilt && Attribute(panTilt, "y", y);
        if (absolute && ((hasX && (x < -1 || x > 1)) || (hasY && (y < -1 || y > 1))))
            return BadArgs("the position is outside the generic space");
        int32_t pan = 0, tilt = 0;
        if (Outcome o = position(pan, tilt); o.result != PTZ_OK) return HeadFailure(o, op.c_str());
        if (absolute) {
            if (hasX) pan = FromGeneric(x, m.panMin, m.panMax);
            if (hasY) tilt = FromGeneric(y, m.tiltMin, m.tiltMax);
        } else {
            const auto span = [](int32_t min, int32_t max) { return (static_cast<double>(max) - min) / 2.0; };
            pan = static_cast<int32_t>(std::clamp<double>(pan + std::lround(x * span(m.panMin, m.panMax)), m.panMin, m.panMax));
            tilt = static_cast<int32_t>(std::clamp<double>(tilt + std::lround(y * span(m.tiltMin, m.tiltMax)), m.tiltMin, m.tiltMax));
        }
        if (const pugi::xml_node speed = ChildAnyNs(ChildAnyNs(in, "Speed"), "PanTilt")) {
            double sx = 1, sy = 1;
            Attribute(speed, "x", sx);
            Attribute(speed, "y", sy);
            if (Outcome o = SetSpeed(std::max(std::fabs(sx), std::fabs(sy))); o.result != PTZ_OK)
                return HeadFailure(o, op.c_str());
        }
        StopAfter(std::chrono::milliseconds(0));
        if (Outcome o = Move(pan, tilt); o.result != PTZ_OK) return HeadFailure(o, op.c_str());
        return Ok("<tptz:" + op + "Response/>");
    }
    if (op == "ContinuousMove") {
        const pugi::xml_node velocity = ChildAnyNs(in, "Velocity");
        if (!velocity) return BadArgs("Velocity is missing");
        if (!zoomIsZero(velocity)) return BadArgs("this head has no zoom");
        double x = 0, y = 0;
        const pugi::xml_node panTilt = ChildAnyNs(velocity, "PanTilt");
        if (panTilt) {
            Attribute(panTilt, "x", x);
            Attribute(panTilt, "y", y);
        }
        if (x < -1 || x > 1 || y < -1 || y > 1) return BadArgs("the velocity is outside the generic space");
        std::chrono::milliseconds timeout{0};
        if (const pugi::xml_node t = ChildAnyNs(in, "Timeout"); t && !ParseDuration(t.text().get(), timeout))
            return BadArgs("Timeout is not a duration");
        int32_t pan = 0, tilt = 0;
        if (Outcome o = position(pan, tilt); o.result != PTZ_OK) return HeadFailure(o, "ContinuousMove");
        if (x == 0 && y == 0) {
            StopAfter(std::chrono::milliseconds(0));
            const Outcome o = head_.Call([&](int32_t link) {
                PTZ_LinkStopMotor(link, m.panMotor);
                return PTZ_LinkStopMotor(link, m.tiltMotor);
            });
            if (o.result != PTZ_OK) return HeadFailure(o, "ContinuousMove");
            return Ok("<tptz:ContinuousMoveResponse/>");
        }
        if (Outcome o = SetSpeed(std::max(std::fabs(x), std::fabs(y))); o.result != PTZ_OK)
            return HeadFailure(o, "ContinuousMove");
        const int32_t targetPan = x > 0 ? m.panMax : x < 0 ? m.panMin : pan;
        const int32_t targetTilt = y > 0 ? m.tiltMax : y < 0 ? m.tiltMin : tilt;
        if (Outcome o = Move(targetPan, targetTilt); o.result != PTZ_OK) return HeadFailure(o, "ContinuousMove");
        StopAfter(timeout);
        return Ok("<tptz:ContinuousMoveResponse/>");
    }
    if (op == "Stop") {
        // PanTilt false alone asks for nothing to stop; no zoom to stop here.
        const std::string panTilt = ChildAnyNs(in, "PanTilt").text().get();
        StopAfter(std::chrono::milliseconds(0));
        if (panTilt != "false") {
            const Outcome o = head_.Call([&](int32_t link) {
                const int32_t r = PTZ_LinkStopMotor(link, m.panMotor);
                return r != PTZ_OK ? r : PTZ_LinkStopMotor(link, m.tiltMotor);
            });
            if (o.result != PTZ_OK) return HeadFailure(o, "Stop");
        }
        return Ok("<tptz:StopResponse/>");
    }
    auto presetToken = [&](int& preset) {
        const std::string token = ChildAnyNs(in, "PresetToken").text().get();
        char* end = nullptr;
        const long n = std::strtol(token.c_str(), &end, 10);
        if (token.empty() || *end != '\0' || n < 1 || n > 16) return false;
        preset = static_cast<int>(n);
        return true;
    };
    if (op == "GetPresets") {
        std::string list;
        for (int n = 1; n <= 16; ++n) {
            const std::string name = presets_.Get(n);
            if (!name.empty())
                list += "<tptz:Preset token=\"" + std::to_string(n) + "\"><tt:Name>" + Escape(name) + "</tt:Name></tptz:Preset>";
        }
        return Ok("<tptz:GetPresetsResponse>" + list + "</tptz:GetPresetsResponse>");
    }
    if (op == "SetPreset") {
        int preset = 0;
        if (ChildAnyNs(in, "PresetToken")) {
            if (!presetToken(preset)) return {400, Fault("Sender", "ter:InvalidArgVal", "preset tokens are \"1\" to \"16\"")};
        } else if ((preset = presets_.FirstFree()) == 0) {
            return {400, Fault("Receiver", "ter:Action", "all 16 presets are in use (ter:TooManyPresets)")};
        }
        std::string name = ChildAnyNs(in, "PresetName").text().get();
        if (name.empty()) name = "Preset " + std::to_string(preset);
        if (name.size() > 64) return BadArgs("the preset name is too long");
        const Outcome o = head_.Call([&](int32_t link) { return PTZ_LinkSetPresetPos(link, preset, m.presetFlag); });
        if (o.result != PTZ_OK) return HeadFailure(o, "SetPreset");
        presets_.Set(preset, name);
        return Ok("<tptz:SetPresetResponse><tptz:PresetToken>" + std::to_string(preset) +
                  "</tptz:PresetToken></tptz:SetPresetResponse>");
    }
    if (op == "GotoPreset" || op == "RemovePreset") {
        int preset = 0;
        if (!presetToken(preset) || presets_.Get(preset).empty())
            return {400, Fault("Sender", "ter:InvalidArgVal", "no preset with that token (ter:NoToken)")};
        if (op == "RemovePreset") {
            presets_.Remove(preset);
            return Ok("<tptz:RemovePresetResponse/>");
        }
        StopAfter(std::chrono::milliseconds(0));
        const Outcome o = head_.Call([&](int32_t link) { return PTZ_LinkMovePresetPos(link, preset); });
        if (o.result != PTZ_OK) return HeadFailure(o, "GotoPreset");
        return Ok("<tptz:GotoPresetResponse/>");
    }
    if (op == "GotoHomePosition") {
        StopAfter(std::chrono::milliseconds(0));
        const Outcome o = head_.Call([&](int32_t link) { return PTZ_LinkMoveUserHP(link); });
        if (o.result != PTZ_OK) return HeadFailure(o, "GotoHomePosition");
        return Ok("<tptz:GotoHomePositionResponse/>");
    }
    if (op == "SetHomePosition") {
        const Outcome o = head_.Call([&](int32_t link) { return PTZ_LinkSetUserHP(link, m.presetFlag); });
        if (o.result != PTZ_OK) return HeadFailure(o, "SetHomePosition");
        return Ok("<tptz:SetHomePositionResponse/>");
    }
    return Unsupported(op);
}

}  // namespace ptzd::onvif
