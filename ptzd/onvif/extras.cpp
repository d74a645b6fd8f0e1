#include "extras.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <openssl/evp.h>

#include <cstdio>
#include <fstream>

#include "onvif/names.h"

namespace ptzd::onvif {

namespace {

constexpr const char* kTr2 = " xmlns:tr2=\"http://www.onvif.org/ver20/media/wsdl\"";

std::pair<int, std::string> Ok(const std::string& body) { return {200, Envelope(body)}; }

std::string SourceConfiguration(const char* element) {
    return std::string("<") + element + " token=\"" + kSourceConfig + "\"><tt:Name>VideoSourceConfig</tt:Name>"
           "<tt:UseCount>1</tt:UseCount><tt:SourceToken>VideoSource_1</tt:SourceToken>"
           "<tt:Bounds x=\"0\" y=\"0\" width=\"1920\" height=\"1080\"/></" + element + ">";
}

// The ver10 profile's encoder as Media2 describes it.
std::string EncoderConfiguration(const char* element) {
    return std::string("<") + element + " token=\"" + kEncoderConfig + "\" GovLength=\"50\" Profile=\"Main\">"
           "<tt:Name>H264</tt:Name><tt:UseCount>1</tt:UseCount><tt:Encoding>H264</tt:Encoding>"
           "<tt:Resolution><tt:Width>1920</tt:Width><tt:Height>1080</tt:Height></tt:Resolution>"
           "<tt:RateControl ConstantBitRate=\"false\"><tt:FrameRateLimit>25</tt:FrameRateLimit>"
           "<tt:BitrateLimit>4096</tt:BitrateLimit></tt:RateControl><tt:Quality>5</tt:Quality></" + element + ">";
}

std::string Version(int major, int minor) {
    return "<tds:Version><tt:Major>" + std::to_string(major) + "</tt:Major><tt:Minor>" + std::to_string(minor) +
           "</tt:Minor></tds:Version>";
}

}  // namespace

HttpContext& CurrentHttp() {
    thread_local HttpContext context;
    return context;
}

Extras::Extras(std::string head, const OnvifConfig& config, motion::EventBus* bus)
    : head_(std::move(head)), config_(config), events_(head_, bus) {}

std::optional<std::pair<int, std::string>> Extras::Handle(const Request& r, const std::string& path) {
    if (r.ns == kEvents || r.ns == kNotification) return events_.Handle(r, path);
    if (r.ns == kMedia2) return Media2(r);
    if (r.ns == kDevice) {
        auto reply = Device(r);
        if (reply.first != 0) return reply;
    }
    return std::nullopt;
}

std::string Extras::MacFor(const std::string& host, const std::string& head, std::string& interfaceName) {
    interfaceName.clear();
    std::string mac;
    in_addr wanted{};
    const bool v4 = inet_pton(AF_INET, host.c_str(), &wanted) == 1;
    ifaddrs* list = nullptr;
    if (v4 && wanted.s_addr != INADDR_ANY && getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next)
            if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET &&
                reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == wanted.s_addr)
                interfaceName = i->ifa_name;
        for (ifaddrs* i = list; i && !interfaceName.empty(); i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_PACKET || interfaceName != i->ifa_name) continue;
            const auto* ll = reinterpret_cast<sockaddr_ll*>(i->ifa_addr);
            bool zero = true;
            for (int b = 0; b < ll->sll_halen; ++b) zero = zero && ll->sll_addr[b] == 0;
            if (ll->sll_halen != 6 || zero) continue;
            char text[18];
            std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", ll->sll_addr[0], ll->sll_addr[1],
                          ll->sll_addr[2], ll->sll_addr[3], ll->sll_addr[4], ll->sll_addr[5]);
            mac = text;
        }
        freeifaddrs(list);
    }
    if (interfaceName.empty()) interfaceName = v4 && (ntohl(wanted.s_addr) >> 24) == 127 ? "lo" : "eth0";
    if (mac.empty()) {
        // None to be had (loopback, a wildcard): the same one for the same
        // head every time, unicast and locally administered.
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(head.data(), head.size(), digest, &length, EVP_sha256(), nullptr);
        digest[0] = static_cast<unsigned char>((digest[0] & 0xfc) | 0x02);
        char text[18];
        std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", digest[0], digest[1], digest[2], digest[3],
                      digest[4], digest[5]);
        mac = text;
    }
    return mac;
}

std::pair<int, std::string> Extras::Device(const Request& r) {
    const std::string& op = r.name;
    if (op == "GetNetworkInterfaces") {
        std::string name;
        const std::string mac = MacFor(config_.address.host, head_, name);
        return Ok("<tds:GetNetworkInterfacesResponse><tds:NetworkInterfaces token=\"" + Escape(name) +
                  "\"><tt:Enabled>true</tt:Enabled><tt:Info><tt:Name>" + Escape(name) + "</tt:Name><tt:HwAddress>" + mac +
                  "</tt:HwAddress></tt:Info><tt:IPv4><tt:Enabled>true</tt:Enabled><tt:Config><tt:Manual><tt:Address>" +
                  Escape(config_.address.host) + "</tt:Address><tt:PrefixLength>" +
                  (name == "lo" ? "8" : "24") +
                  "</tt:PrefixLength></tt:Manual><tt:DHCP>false</tt:DHCP></tt:Config></tt:IPv4>"
                  "</tds:NetworkInterfaces></tds:GetNetworkInterfacesResponse>");
    }
    if (op == "SetSystemDateAndTime") {
        const std::string type(Collapsed(ChildAnyNs(r.operation, "DateTimeType").text().get()));
        if (type == "NTP") return Ok("<tds:SetSystemDateAndTimeResponse/>");
        if (type == "Manual")
            return {400, Fault("Sender", "ter:OperationProhibited/ter:ManualTimeNotSupported",
                               "this gateway's clock is its host's and is kept by NTP; it cannot be set by hand")};
        return {400, Fault("Sender", "ter:InvalidArgVal", "DateTimeType must be NTP or Manual")};
    }
    if (op == "GetNTP")
        return Ok("<tds:GetNTPResponse><tds:NTPInformation><tt:FromDHCP>false</tt:FromDHCP></tds:NTPInformation>"
                  "</tds:GetNTPResponse>");
    if (op == "GetDNS") {
        std::string servers;
        std::ifstream resolv("/etc/resolv.conf");
        int count = 0;
        for (std::string line; count < 4 && std::getline(resolv, line);) {
            in_addr a{};
            if (line.rfind("nameserver ", 0) != 0) continue;
            const std::string address(Collapsed(std::string_view(line).substr(11)));
            if (inet_pton(AF_INET, address.c_str(), &a) != 1) continue;
            servers += "<tt:DNSManual><tt:Type>IPv4</tt:Type><tt:IPv4Address>" + address + "</tt:IPv4Address></tt:DNSManual>";
            ++count;
        }
        return Ok("<tds:GetDNSResponse><tds:DNSInformation><tt:FromDHCP>false</tt:FromDHCP>" + servers +
                  "</tds:DNSInformation></tds:GetDNSResponse>");
    }
    if (op == "GetNetworkProtocols")
        return Ok("<tds:GetNetworkProtocolsResponse><tds:NetworkProtocols><tt:Name>HTTP</tt:Name><tt:Enabled>true</tt:Enabled>"
                  "<tt:Port>" + std::to_string(config_.address.port) + "</tt:Port></tds:NetworkProtocols>"
                  "<tds:NetworkProtocols><tt:Name>RTSP</tt:Name><tt:Enabled>" + (config_.rtsp.empty() ? "false" : "true") +
                  "</tt:Enabled><tt:Port>554</tt:Port></tds:NetworkProtocols></tds:GetNetworkProtocolsResponse>");
    if (op == "GetDiscoveryMode")
        return Ok(std::string("<tds:GetDiscoveryModeResponse><tds:DiscoveryMode>") +
                  (!discoverable || discoverable() ? "Discoverable" : "NonDiscoverable") + "</tds:DiscoveryMode></tds:GetDiscoveryModeResponse>");
    if (op == "SetDiscoveryMode") {
        const std::string mode(Collapsed(ChildAnyNs(r.operation, "DiscoveryMode").text().get()));
        if (mode != "Discoverable" && mode != "NonDiscoverable")
            return {400, Fault("Sender", "ter:InvalidArgVal", "DiscoveryMode must be Discoverable or NonDiscoverable")};
        if (setDiscoverable)
            if (const std::string why = setDiscoverable(mode == "Discoverable"); !why.empty())
                return {500, Fault("Receiver", "ter:Action", "the mode is set, but it was not saved: " + why)};
        return Ok("<tds:SetDiscoveryModeResponse/>");
    }
    if (op == "GetUsers")
        return Ok("<tds:GetUsersResponse>" +
                  (config_.user.empty() ? std::string()
                                        : "<tds:User><tt:Username>" + Escape(config_.user) +
                                              "</tt:Username><tt:UserLevel>Administrator</tt:UserLevel></tds:User>") +
                  "</tds:GetUsersResponse>");
    if (op == "GetWsdlUrl")
        return Ok("<tds:GetWsdlUrlResponse><tds:WsdlUrl>http://www.onvif.org/ver10/device/wsdl/devicemgmt.wsdl</tds:WsdlUrl>"
                  "</tds:GetWsdlUrlResponse>");
    return {0, ""};
}

void Extras::Amend(std::string& answer) const {
    // The address the answer gives the device service at: the others' base.
    const auto baseBefore = [&](const std::string& open) -> std::string {
        const size_t at = answer.find(open);
        const size_t end = at == std::string::npos ? at : answer.find("/onvif/device_service<", at);
        return end == std::string::npos ? "" : answer.substr(at + open.size(), end - at - open.size());
    };
    const std::string security = "<tds:Security UsernameToken=\"true\"";
    for (size_t at = answer.find(security); at != std::string::npos; at = answer.find(security, at + 1))
        answer.insert(at + security.size(), " HttpDigest=\"true\"");
    if (const size_t end = answer.find("</tds:GetServicesResponse>"); end != std::string::npos) {
        const std::string base = baseBefore("<tds:XAddr>");
        if (base.empty()) return;
        const bool capabilities = answer.find("</tds:Capabilities><tds:Version>") != std::string::npos;
        auto service = [&](const char* ns, const char* path, const std::string& caps) {
            return std::string("<tds:Service><tds:Namespace>") + ns + "</tds:Namespace><tds:XAddr>" + base + path +
                   "</tds:XAddr>" + (capabilities ? "<tds:Capabilities>" + caps + "</tds:Capabilities>" : "") +
                   Version(2, 60) + "</tds:Service>";
        };
        answer.insert(end, service(kMedia2, kMedia2Path, Media2Capabilities()) +
                               service(kEvents, kEventsPath, PullPoints::Capabilities()));
        return;
    }
    if (answer.find("<tds:GetCapabilitiesResponse>") != std::string::npos) {
        const std::string base = baseBefore("<tt:Device><tt:XAddr>");
        const size_t device = answer.find("</tt:Device>");
        if (base.empty() || device == std::string::npos) return;
        answer.insert(device + std::char_traits<char>::length("</tt:Device>"),
                      "<tt:Events><tt:XAddr>" + base + kEventsPath + "</tt:XAddr><tt:WSSubscriptionPolicySupport>false"
                      "</tt:WSSubscriptionPolicySupport><tt:WSPullPointSupport>true</tt:WSPullPointSupport>"
                      "<tt:WSPausableSubscriptionManagerInterfaceSupport>false</tt:WSPausableSubscriptionManagerInterfaceSupport>"
                      "</tt:Events>");
    }
}

std::string Extras::Media2Capabilities() const {
    return std::string("<tr2:Capabilities") + kTr2 + " SnapshotUri=\"" + (config_.snapshot.empty() ? "false" : "true") +
           "\"><tr2:ProfileCapabilities MaximumNumberOfProfiles=\"1\"/><tr2:StreamingCapabilities "
           "RTSPStreaming=\"true\" RTP_RTSP_TCP=\"true\"/></tr2:Capabilities>";
}

std::pair<int, std::string> Extras::Media2(const Request& r) {
    const std::string& op = r.name;
    const pugi::xml_node& in = r.operation;
    auto profileProblem = [&]() -> std::optional<std::pair<int, std::string>> {
        const pugi::xml_node token = ChildAnyNs(in, "ProfileToken");
        if (!token || std::string(Collapsed(token.text().get())) == kProfile) return std::nullopt;
        return std::pair{400, Fault("Sender", "ter:InvalidArgVal/ter:NoProfile", "no such profile")};
    };
    if (op == "GetServiceCapabilities")
        return Ok(std::string("<tr2:GetServiceCapabilitiesResponse") + kTr2 + ">" + Media2Capabilities() +
                  "</tr2:GetServiceCapabilitiesResponse>");
    if (op == "GetProfiles") {
        // Only the configurations of the types asked for (All: every one).
        bool source = false, encoder = false, ptz = false;
        for (pugi::xml_node t = in.first_child(); t; t = t.next_sibling()) {
            if (LocalName(t.name()) != "Type") continue;
            const std::string type(Collapsed(t.text().get()));
            source = source || type == "All" || type == "VideoSource";
            encoder = encoder || type == "All" || type == "VideoEncoder";
            ptz = ptz || type == "All" || type == "PTZ";
        }
        const pugi::xml_node token = ChildAnyNs(in, "Token");
        if (token && std::string(Collapsed(token.text().get())) != kProfile)
            return std::pair{400, Fault("Sender", "ter:InvalidArgVal/ter:NoProfile", "no such profile")};
        std::string configurations;
        if (source) configurations += SourceConfiguration("tr2:VideoSource");
        if (encoder) configurations += EncoderConfiguration("tr2:VideoEncoder");
        if (ptz)
            configurations += std::string("<tr2:PTZ token=\"") + kPtzConfig + "\"><tt:Name>PTZ</tt:Name><tt:UseCount>1</tt:UseCount>"
                              "<tt:NodeToken>PTZNode_1</tt:NodeToken></tr2:PTZ>";
        return Ok(std::string("<tr2:GetProfilesResponse") + kTr2 + "><tr2:Profiles token=\"" + kProfile +
                  "\" fixed=\"true\"><tr2:Name>" + Escape(head_) + "</tr2:Name>" +
                  (configurations.empty() ? "" : "<tr2:Configurations>" + configurations + "</tr2:Configurations>") +
                  "</tr2:Profiles></tr2:GetProfilesResponse>");
    }
    if (op == "GetStreamUri" || op == "GetSnapshotUri") {
        if (!ChildAnyNs(in, "ProfileToken"))
            return std::pair{400, Fault("Sender", "ter:InvalidArgVal/ter:NoProfile", "ProfileToken is missing")};
        if (auto problem = profileProblem()) return *problem;
        const std::string& uri = op == "GetStreamUri" ? config_.rtsp : config_.snapshot;
        if (uri.empty())
            return std::pair{500, Fault("Receiver", "ter:ActionNotSupported",
                                        op == "GetStreamUri" ? "no stream is configured for this head"
                                                             : "no snapshot is configured for this head")};
        return Ok("<tr2:" + op + "Response" + kTr2 + "><tr2:Uri>" + Escape(uri) + "</tr2:Uri></tr2:" + op + "Response>");
    }
    if (op == "GetVideoSourceConfigurations" || op == "GetVideoEncoderConfigurations") {
        if (auto problem = profileProblem()) return *problem;
        const bool sourceOp = op == "GetVideoSourceConfigurations";
        const pugi::xml_node token = ChildAnyNs(in, "ConfigurationToken");
        if (token && std::string(Collapsed(token.text().get())) != (sourceOp ? kSourceConfig : kEncoderConfig))
            return std::pair{400, Fault("Sender", "ter:InvalidArgVal/ter:NoConfig", "no such configuration")};
        return Ok("<tr2:" + op + "Response" + kTr2 + ">" +
                  (sourceOp ? SourceConfiguration("tr2:Configurations") : EncoderConfiguration("tr2:Configurations")) +
                  "</tr2:" + op + "Response>");
    }
    return {500, Fault("Receiver", "ter:ActionNotSupported", op + " is not supported by this device")};
}

}  // namespace ptzd::onvif
