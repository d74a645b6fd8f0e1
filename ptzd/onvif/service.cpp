#include "service.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>

#include "log.h"
#include "ptz.h"
#include "state_file.h"
#include "utf8.h"

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

// A non-negative xs:duration of days, hours, minutes and seconds ("PT5S",
// "PT0.5S", "PT1M30S", "P1DT2H"), at most a day; false when it is anything
// else. Only the seconds may have a fraction; no sign, no exponent.
bool ParseDuration(std::string_view text, std::chrono::milliseconds& out) {
    text = Collapsed(text);
    if (text.empty() || text.front() != 'P') return false;
    text.remove_prefix(1);
    static constexpr struct {
        char unit;
        bool timePart;
        int64_t ms;
    } kUnits[] = {{'D', false, 86400000}, {'H', true, 3600000}, {'M', true, 60000}, {'S', true, 1000}};
    int64_t total = 0;
    bool inTime = false, any = false;
    size_t next = 0;  // units must come in order
    while (!text.empty()) {
        if (text.front() == 'T') {
            if (inTime) return false;
            inTime = true;
            text.remove_prefix(1);
            if (text.empty()) return false;  // "PT" alone
            continue;
        }
        int64_t whole = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), whole);
        if (error != std::errc() || whole < 0 || whole > 1000000 || text.front() == '-' || text.front() == '+') return false;
        size_t used = static_cast<size_t>(end - text.data());
        int64_t fractionMs = 0;
        bool fraction = false;
        if (used < text.size() && text[used] == '.') {
            fraction = true;
            size_t digits = 0;
            for (++used; used < text.size() && text[used] >= '0' && text[used] <= '9'; ++used, ++digits)
                if (digits < 3) fractionMs = fractionMs * 10 + (text[used] - '0');
            if (digits == 0) return false;
            for (; digits < 3; ++digits) fractionMs *= 10;
        }
        if (used >= text.size()) return false;
        const char unit = text[used];
        size_t u = next;
        while (u < std::size(kUnits) && kUnits[u].unit != unit) ++u;
        if (u == std::size(kUnits) || kUnits[u].timePart != inTime || (fraction && unit != 'S')) return false;
        total += whole * kUnits[u].ms + fractionMs;
        next = u + 1;
        any = true;
        text.remove_prefix(used + 1);
    }
    if (!any || total > 86400000) return false;
    out = std::chrono::milliseconds(total);
    return true;
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
                return std::string("PanTilt ") + name + " must be a number from " + Number(min) + " to " + Number(max);
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
    std::string text;
    if (file_.empty() || !ReadStateFile(file_, text)) return;
    const auto data = nlohmann::json::parse(text, nullptr, false);
    if (!data.is_object()) return;
    for (int n = 1; n <= 16; ++n)
        if (auto it = data.find(std::to_string(n)); it != data.end() && it->is_string()) {
            const std::string name = *it;
            if (name.size() <= kMaxName && ValidUtf8(name)) names_[n] = name;
        }
}

std::string PresetNames::Get(int preset) {
    std::lock_guard lock(mutex_);
    return names_[preset];
}

std::string PresetNames::Set(int preset, const std::string& name) {
    std::lock_guard lock(mutex_);
    std::string old = std::exchange(names_[preset], name);
    std::string why = Save();
    if (!why.empty()) names_[preset] = std::move(old);
    return why;
}

int PresetNames::FirstFree() {
    std::lock_guard lock(mutex_);
    for (int n = 1; n <= 16; ++n)
        if (names_[n].empty()) return n;
    return 0;
}

std::string PresetNames::Save() {
    if (file_.empty()) return "";
    nlohmann::json data = nlohmann::json::object();
    for (int n = 1; n <= 16; ++n)
        if (!names_[n].empty()) data[std::to_string(n)] = names_[n];
    // Names are checked before they get here; `replace` keeps dump from
    // throwing whatever it is given.
    std::string why = WriteStateFile(file_, data.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    if (!why.empty()) Log(Level::Warn, "preset names not saved: " + why);
    return why;
}

// ---- the service ------------------------------------------------------------------

constexpr auto kNever = std::chrono::steady_clock::time_point::max();

Service::Service(HeadWorker& head, const OnvifConfig& config, const std::string& stateFile)
    : head_(head), config_(config), auth_(config.user, config.password), presets_(stateFile), uuid_(NewUuid()) {
    timer_ = std::thread([this] {
        std::unique_lock lock(motion_);
        while (!stopping_) {
            if (stopAt_ == kNever) {
                timerWake_.wait(lock);
                continue;
            }
            const auto at = stopAt_;
            timerWake_.wait_until(lock, at);
            // Checked and stopped under motion_: a newer move cannot start
            // in between, and a stop armed by an older one is never issued.
            if (stopping_ || stopAt_ == kNever || std::chrono::steady_clock::now() < stopAt_ || armed_ != generation_)
                continue;
            stopAt_ = kNever;
            continuous_ = false;
            if (const Outcome o = StopMotors(); o.result != PTZ_OK)
                Log(Level::Warn, "ONVIF: stopping " + head_.config().name + " at the end of a ContinuousMove failed");
        }
    });
}

Service::~Service() {
    StopAll();
    {
        std::lock_guard lock(motion_);
        stopping_ = true;
    }
    timerWake_.notify_all();
    timer_.join();
}

void Service::StopAll() {
    std::lock_guard lock(motion_);
    closed_ = true;
    if (!continuous_) return;
    if (const Outcome o = StopMotors(); o.result != PTZ_OK)
        Log(Level::Warn, "ONVIF: stopping " + head_.config().name + "'s continuous move failed");
    Supersede();
}

void Service::Supersede() {
    ++generation_;
    stopAt_ = kNever;
    continuous_ = false;
}

Outcome Service::StopMotors() {
    const Mapping& m = head_.config().mapping;
    const Outcome pan = head_.Call([&](int32_t link) { return PTZ_LinkStopMotor(link, m.panMotor); });
    const Outcome tilt = head_.Call([&](int32_t link) { return PTZ_LinkStopMotor(link, m.tiltMotor); });
    return pan.result != PTZ_OK ? pan : tilt;
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
    // A Receiver fault (and so 500): the request is fine, this device lacks it.
    return {500, Fault("Receiver", "ter:ActionNotSupported", what + " is not supported by this device")};
}

Service::Reply Service::BadArgs(const std::string& why, const char* detail) {
    return {400, Fault("Sender", std::string("ter:InvalidArgVal") + (detail ? std::string("/") + detail : ""), why)};
}

Service::Reply Service::HeadFailure(const Outcome& o, const char* what) {
    if (o.result == kLinkDown) return {500, Fault("Receiver", "ter:Action", std::string(what) + ": the head is not connected")};
    if (o.result == PTZ_BAD_PARAM) return BadArgs(std::string(what) + ": the value is out of the head's range");
    if (o.result != PTZ_FAILED)  // not taken: too many calls wait for this head
        return {500, Fault("Receiver", "ter:Action", std::string(what) + ": the head is busy; try again")};
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
    // Without a usable Host, the configured address; a wildcard one is no
    // address to reach, so loopback stands in for it.
    request.base = plainHost   ? "http://" + host
                   : Wildcard() ? BaseUrlWith(config_.address.host == "::" ? "::1" : "127.0.0.1")
                                : BaseUrl();
    if (const std::string why = Parse(body, request); !why.empty()) return RefusalFault(request, why, response);
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
        if (auto why = checkProfile(); !why.empty()) return BadArgs(why, "ter:NoProfile");
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
        if (auto why = checkProfile(); !why.empty()) return BadArgs(why, "ter:NoProfile");
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

Outcome Service::SetSpeeds(std::optional<double> pan, std::optional<double> tilt) {
    if (!pan && !tilt) return {PTZ_OK, 0, 0};
    const Mapping& m = head_.config().mapping;
    const auto speed = [&](double generic) {
        return static_cast<int32_t>(
            std::lround(m.speedMin + std::clamp(generic, 0.0, 1.0) * (static_cast<double>(m.speedMax) - m.speedMin)));
    };
    return head_.Call([&](int32_t link) {
        int32_t r = PTZ_OK;
        if (pan) r = PTZ_LinkSetMotorSpeed(link, m.panMotor, speed(*pan));
        if (r == PTZ_OK && tilt) r = PTZ_LinkSetMotorSpeed(link, m.tiltMotor, speed(*tilt));
        return r;
    });
}

Service::Reading Service::ReadPosition(std::chrono::steady_clock::time_point notBefore) {
    std::this_thread::sleep_until(notBefore);
    std::unique_lock lock(readingMutex_);
    for (;;) {
        if (last_.valid && last_.started >= notBefore) return last_;
        if (!reading_) break;
        // One is on its way: it may do (it began late enough), else the next.
        readingDone_.wait(lock, [&] { return !reading_; });
    }
    reading_ = true;
    Reading r;
    r.started = std::chrono::steady_clock::now();
    lock.unlock();
    r.outcome = head_.Call([&](int32_t link) { return PTZ_LinkGetPTPos(link, &r.pan, &r.tilt); });
    r.valid = true;
    lock.lock();
    last_ = r;
    reading_ = false;
    readingDone_.notify_all();
    return r;
}

Outcome Service::Move(int32_t pan, int32_t tilt) {
    const Mapping& m = head_.config().mapping;
    return head_.Call([&](int32_t link) { return PTZ_LinkSetPTPos(link, m.moveParam, pan, tilt); });
}

namespace {

// A preset token as this device hands them out: "1" to "16", exactly.
bool PresetToken(const pugi::xml_node& in, int& preset) {
    const std::string token = ChildAnyNs(in, "PresetToken").text().get();
    for (int n = 1; n <= 16; ++n)
        if (token == std::to_string(n)) {
            preset = n;
            return true;
        }
    return false;
}

}  // namespace

Service::Reply Service::Closing() { return {500, Fault("Receiver", "ter:Action", "the device is shutting down")}; }

Service::Reply Service::SetPreset(const pugi::xml_node& in) {
    const Mapping& m = head_.config().mapping;
    std::string name = ChildAnyNs(in, "PresetName").text().get();
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (name.size() > PresetNames::kMaxName || control || !ValidUtf8(name))
        return BadArgs("a preset name is text of at most 64 bytes of UTF-8, without control characters",
                       "ter:InvalidPresetName");
    std::lock_guard lock(presetOps_);
    int preset = 0;
    if (ChildAnyNs(in, "PresetToken")) {
        if (!PresetToken(in, preset)) return BadArgs("preset tokens are \"1\" to \"16\"", "ter:NoToken");
    } else if ((preset = presets_.FirstFree()) == 0) {
        return {500, Fault("Receiver", "ter:Action/ter:TooManyPresets", "all 16 presets are in use")};
    }
    if (name.empty()) name = "Preset " + std::to_string(preset);
    const Outcome o = head_.Call([&](int32_t link) { return PTZ_LinkSetPresetPos(link, preset, m.presetFlag); });
    if (o.result != PTZ_OK) return HeadFailure(o, "SetPreset");
    if (!presets_.Set(preset, name).empty())
        return {500, Fault("Receiver", "ter:Action", "the preset's name could not be saved (the gateway's log says why)")};
    return Ok("<tptz:SetPresetResponse><tptz:PresetToken>" + std::to_string(preset) +
              "</tptz:PresetToken></tptz:SetPresetResponse>");
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
    if (auto why = checkProfile(); !why.empty()) return BadArgs(why, "ter:NoProfile");

    if (op == "GetStatus") {
        // Two readings a moment apart that agree: the head is still. (The
        // wait is this request's own; the head serves others meanwhile.)
        const Reading first = ReadPosition(std::chrono::steady_clock::now());
        if (first.outcome.result != PTZ_OK) return HeadFailure(first.outcome, "GetStatus");
        const Reading second = ReadPosition(first.started + kStillInterval);
        if (second.outcome.result != PTZ_OK) return HeadFailure(second.outcome, "GetStatus");
        const bool idle = first.pan == second.pan && first.tilt == second.tilt;
        const int32_t pan2 = second.pan, tilt2 = second.tilt;
        return Ok("<tptz:GetStatusResponse><tptz:PTZStatus><tt:Position><tt:PanTilt x=\"" +
                  Number(ToGeneric(pan2, m.panMin, m.panMax)) + "\" y=\"" + Number(ToGeneric(tilt2, m.tiltMin, m.tiltMax)) +
                  "\" space=\"" + kPositionSpace + "\"/></tt:Position><tt:MoveStatus><tt:PanTilt>" +
                  (idle ? "IDLE" : "MOVING") + "</tt:PanTilt></tt:MoveStatus><tt:UtcTime>" + UtcNow() +
                  "</tt:UtcTime></tptz:PTZStatus></tptz:GetStatusResponse>");
    }
    if (op == "AbsoluteMove" || op == "RelativeMove") {
        // Everything is checked before the head is asked for anything.
        const bool absolute = op == "AbsoluteMove";
        const char* invalid = absolute ? "ter:InvalidPosition" : "ter:InvalidTranslation";
        const pugi::xml_node vector = ChildAnyNs(in, absolute ? "Position" : "Translation");
        if (!vector) return BadArgs(absolute ? "Position is missing" : "Translation is missing", invalid);
        if (auto why = ZoomProblem(vector); !why.empty()) return BadArgs(why, invalid);
        std::optional<double> x, y, speedX, speedY;
        if (auto why = PanTiltOf(ChildAnyNs(vector, "PanTilt"), -1, 1, x, y); !why.empty()) return BadArgs(why, invalid);
        const pugi::xml_node speed = ChildAnyNs(in, "Speed"), speedPanTilt = ChildAnyNs(speed, "PanTilt");
        double zoomSpeed = 0;
        if (auto why = PanTiltOf(speedPanTilt, 0, 1, speedX, speedY); !why.empty())
            return BadArgs("Speed " + why, "ter:InvalidSpeed");
        if (NumberAttribute(ChildAnyNs(speed, "Zoom"), "x", zoomSpeed, 0, 1) == Given::Bad)
            return BadArgs("Speed Zoom x must be a number from 0 to 1", "ter:InvalidSpeed");
        std::lock_guard lock(motion_);
        if (closed_) return Closing();
        int32_t pan = 0, tilt = 0;
        if (Outcome o = position(pan, tilt); o.result != PTZ_OK) return HeadFailure(o, op.c_str());
        if (absolute) {
            if (x) pan = FromGeneric(*x, m.panMin, m.panMax);
            if (y) tilt = FromGeneric(*y, m.tiltMin, m.tiltMax);
        } else {
            // |x| <= 1: the step is at most half the range, no overflow.
            const auto span = [](int32_t min, int32_t max) { return (static_cast<double>(max) - min) / 2.0; };
            pan = static_cast<int32_t>(
                std::clamp<double>(pan + std::lround(x.value_or(0) * span(m.panMin, m.panMax)), m.panMin, m.panMax));
            tilt = static_cast<int32_t>(
                std::clamp<double>(tilt + std::lround(y.value_or(0) * span(m.tiltMin, m.tiltMax)), m.tiltMin, m.tiltMax));
        }
        // A speed for each axis; one left out is the default, 1.
        if (speedPanTilt)
            if (Outcome o = SetSpeeds(speedX.value_or(1), speedY.value_or(1)); o.result != PTZ_OK)
                return HeadFailure(o, op.c_str());
        if (Outcome o = Move(pan, tilt); o.result != PTZ_OK) return HeadFailure(o, op.c_str());
        Supersede();
        return Ok("<tptz:" + op + "Response/>");
    }
    if (op == "ContinuousMove") {
        const pugi::xml_node velocity = ChildAnyNs(in, "Velocity");
        if (!velocity) return BadArgs("Velocity is missing", "ter:InvalidVelocity");
        if (auto why = ZoomProblem(velocity); !why.empty()) return BadArgs(why, "ter:InvalidVelocity");
        std::optional<double> vx, vy;
        if (auto why = PanTiltOf(ChildAnyNs(velocity, "PanTilt"), -1, 1, vx, vy); !why.empty())
            return BadArgs(why, "ter:InvalidVelocity");
        const double x = vx.value_or(0), y = vy.value_or(0);
        // No Timeout runs for the advertised DefaultPTZTimeout, and so does
        // PT0S: it is taken as "no time given" (clients send it for that),
        // not refused and never as "forever".
        std::chrono::milliseconds timeout = kDefaultTimeout;
        if (const pugi::xml_node t = ChildAnyNs(in, "Timeout")) {
            std::chrono::milliseconds given{0};
            if (!ParseDuration(t.text().get(), given)) return BadArgs("Timeout must be a duration of at most a day, like PT5S");
            if (given.count() > 0) timeout = given;
        }
        std::lock_guard lock(motion_);
        if (closed_) return Closing();
        if (x == 0 && y == 0) {
            if (Outcome o = StopMotors(); o.result != PTZ_OK) return HeadFailure(o, "ContinuousMove");
            Supersede();
            return Ok("<tptz:ContinuousMoveResponse/>");
        }
        int32_t pan = 0, tilt = 0;
        if (Outcome o = position(pan, tilt); o.result != PTZ_OK) return HeadFailure(o, "ContinuousMove");
        // Each moving axis at its own speed, so that a diagonal keeps its
        // direction; an axis that stays keeps its speed.
        const auto axis = [](double v) { return v != 0 ? std::optional(std::fabs(v)) : std::nullopt; };
        if (Outcome o = SetSpeeds(axis(x), axis(y)); o.result != PTZ_OK) return HeadFailure(o, "ContinuousMove");
        const int32_t targetPan = x > 0 ? m.panMax : x < 0 ? m.panMin : pan;
        const int32_t targetTilt = y > 0 ? m.tiltMax : y < 0 ? m.tiltMin : tilt;
        const Outcome o = Move(targetPan, targetTilt);
        // Armed whatever the answer: a move that timed out may still have reached the head.
        Supersede();
        continuous_ = true;
        armed_ = generation_;
        stopAt_ = std::chrono::steady_clock::now() + timeout;
        timerWake_.notify_all();
        if (o.result != PTZ_OK) return HeadFailure(o, "ContinuousMove");
        return Ok("<tptz:ContinuousMoveResponse/>");
    }
    if (op == "Stop") {
        // PanTilt false asks for nothing to stop (there is no zoom here): the
        // pending stop of a ContinuousMove stays as it is.
        const std::string_view panTilt = Collapsed(ChildAnyNs(in, "PanTilt").text().get());
        if (panTilt == "false" || panTilt == "0") return Ok("<tptz:StopResponse/>");
        std::lock_guard lock(motion_);  // a stop is made even after StopAll
        if (const Outcome o = StopMotors(); o.result != PTZ_OK) return HeadFailure(o, "Stop");
        Supersede();
        return Ok("<tptz:StopResponse/>");
    }
    if (op == "GetPresets") {
        std::string list;
        for (int n = 1; n <= 16; ++n) {
            const std::string name = presets_.Get(n);
            if (!name.empty())
                list += "<tptz:Preset token=\"" + std::to_string(n) + "\"><tt:Name>" + Escape(name) + "</tt:Name></tptz:Preset>";
        }
        return Ok("<tptz:GetPresetsResponse>" + list + "</tptz:GetPresetsResponse>");
    }
    if (op == "SetPreset") return SetPreset(in);
    if (op == "GotoPreset" || op == "RemovePreset") {
        int preset = 0;
        if (!PresetToken(in, preset) || presets_.Get(preset).empty())
            return BadArgs("no preset with that token", "ter:NoToken");
        if (op == "RemovePreset") {
            std::lock_guard lock(presetOps_);
            if (!presets_.Set(preset, "").empty())
                return {500, Fault("Receiver", "ter:Action", "the preset could not be removed (the gateway's log says why)")};
            return Ok("<tptz:RemovePresetResponse/>");
        }
        std::lock_guard lock(motion_);
        if (closed_) return Closing();
        const Outcome o = head_.Call([&](int32_t link) { return PTZ_LinkMovePresetPos(link, preset); });
        if (o.result != PTZ_OK) return HeadFailure(o, "GotoPreset");
        Supersede();
        return Ok("<tptz:GotoPresetResponse/>");
    }
    if (op == "GotoHomePosition") {
        std::lock_guard lock(motion_);
        if (closed_) return Closing();
        const Outcome o = head_.Call([&](int32_t link) { return PTZ_LinkMoveUserHP(link); });
        if (o.result != PTZ_OK) return HeadFailure(o, "GotoHomePosition");
        Supersede();
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
