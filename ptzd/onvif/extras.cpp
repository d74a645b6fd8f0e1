#include "extras.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cstdio>
#include <fstream>

#include "onvif/identity.h"
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

// A fault when the request names a profile not ours (none named is ours).
std::optional<std::pair<int, std::string>> Media2ProfileProblem(const pugi::xml_node& in) {
    const pugi::xml_node token = ChildAnyNs(in, "ProfileToken");
    if (!token || std::string(Collapsed(token.text().get())) == kProfile) return std::nullopt;
    return std::pair{400, Fault("Sender", "ter:InvalidArgVal/ter:NoProfile", "no such profile")};
}

}  // namespace

Extras::Extras(std::string head, const OnvifConfig& config, motion::Motion* motion)
    : head_(std::move(head)), config_(config), events_(head_, motion) {}

void Extras::Register(Dispatch& d) {
    AddDevice(d);
    AddMedia2(d);
    // The events service's operations, on the service's path and on each
    // pull point's; the notification ones in either namespace.
    const Operation events = [this](const Call& call) -> Reply { return events_.Handle(call.request, call.path); };
    for (const char* ns : {kEvents, kNotification})
        for (const char* name : PullPoints::kOperations) d.On(ns, name, events, std::string_view(name) == "GetServiceCapabilities");
    // The push form of events: a client that tries it first (to be called
    // back) is told plainly to pull instead.
    for (const char* ns : {kEvents, kNotification})
        d.On(ns, "Subscribe", [](const Call&) -> Reply {
            return {500, Fault("Receiver", "ter:ActionNotSupported",
                               "Subscribe (events pushed to the client) is not supported; use CreatePullPointSubscription")};
        });
    d.Add({kMedia2, kMedia2Path, [this] { return Media2Capabilities(); }, "", ""});
    d.Add({kEvents, kEventsPath, [] { return PullPoints::Capabilities(); }, "Events",
           "<tt:WSSubscriptionPolicySupport>false</tt:WSSubscriptionPolicySupport><tt:WSPullPointSupport>true"
           "</tt:WSPullPointSupport><tt:WSPausableSubscriptionManagerInterfaceSupport>false"
           "</tt:WSPausableSubscriptionManagerInterfaceSupport>"});
}

std::string Extras::InterfaceFor(const std::string& host) {
    std::string name;
    in_addr wanted{};
    const bool v4 = inet_pton(AF_INET, host.c_str(), &wanted) == 1;
    ifaddrs* list = nullptr;
    if (v4 && wanted.s_addr != INADDR_ANY && getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next)
            if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET &&
                reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == wanted.s_addr)
                name = i->ifa_name;
        freeifaddrs(list);
    }
    if (name.empty()) name = v4 && (ntohl(wanted.s_addr) >> 24) == 127 ? "lo" : "eth0";
    return name;
}

void Extras::AddDevice(Dispatch& d) {
    d.On(kDevice, "GetNetworkInterfaces", [this](const Call&) -> Reply {
        // The head's own MAC address, not its interface's: every head on one
        // interface would share that one, and clients would take them for one
        // device.
        const std::string name = InterfaceFor(config_.address.host);
        const std::string mac = IdentityOf(config_.gateway, head_).mac;
        return Ok("<tds:GetNetworkInterfacesResponse><tds:NetworkInterfaces token=\"" + Escape(name) +
                  "\"><tt:Enabled>true</tt:Enabled><tt:Info><tt:Name>" + Escape(name) + "</tt:Name><tt:HwAddress>" + mac +
                  "</tt:HwAddress></tt:Info><tt:IPv4><tt:Enabled>true</tt:Enabled><tt:Config><tt:Manual><tt:Address>" +
                  Escape(config_.address.host) + "</tt:Address><tt:PrefixLength>" +
                  (name == "lo" ? "8" : "24") +
                  "</tt:PrefixLength></tt:Manual><tt:DHCP>false</tt:DHCP></tt:Config></tt:IPv4>"
                  "</tds:NetworkInterfaces></tds:GetNetworkInterfacesResponse>");
    });
    d.On(kDevice, "SetSystemDateAndTime", [](const Call& call) -> Reply {
        const Request& r = call.request;
        const std::string type(Collapsed(ChildAnyNs(r.operation, "DateTimeType").text().get()));
        if (type == "NTP") return Ok("<tds:SetSystemDateAndTimeResponse/>");
        if (type == "Manual")
            return {400, Fault("Sender", "ter:OperationProhibited/ter:ManualTimeNotSupported",
                               "this gateway's clock is its host's and is kept by NTP; it cannot be set by hand")};
        return {400, Fault("Sender", "ter:InvalidArgVal", "DateTimeType must be NTP or Manual")};
    });
    d.On(kDevice, "GetNTP", [](const Call&) -> Reply {
        return Ok("<tds:GetNTPResponse><tds:NTPInformation><tt:FromDHCP>false</tt:FromDHCP></tds:NTPInformation>"
                  "</tds:GetNTPResponse>");
    });
    d.On(kDevice, "GetDNS", [](const Call&) -> Reply {
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
    });
    d.On(kDevice, "GetNetworkProtocols", [this](const Call&) -> Reply {
        return Ok("<tds:GetNetworkProtocolsResponse><tds:NetworkProtocols><tt:Name>HTTP</tt:Name><tt:Enabled>true</tt:Enabled>"
                  "<tt:Port>" + std::to_string(config_.address.port) + "</tt:Port></tds:NetworkProtocols>"
                  "<tds:NetworkProtocols><tt:Name>RTSP</tt:Name><tt:Enabled>" + (config_.rtsp.empty() ? "false" : "true") +
                  "</tt:Enabled><tt:Port>554</tt:Port></tds:NetworkProtocols></tds:GetNetworkProtocolsResponse>");
    });
    d.On(kDevice, "GetDiscoveryMode", [this](const Call&) -> Reply {
        return Ok(std::string("<tds:GetDiscoveryModeResponse><tds:DiscoveryMode>") +
                  (!discoverable || discoverable() ? "Discoverable" : "NonDiscoverable") + "</tds:DiscoveryMode></tds:GetDiscoveryModeResponse>");
    });
    d.On(kDevice, "SetDiscoveryMode", [this](const Call& call) -> Reply {
        const Request& r = call.request;
        const std::string mode(Collapsed(ChildAnyNs(r.operation, "DiscoveryMode").text().get()));
        if (mode != "Discoverable" && mode != "NonDiscoverable")
            return {400, Fault("Sender", "ter:InvalidArgVal", "DiscoveryMode must be Discoverable or NonDiscoverable")};
        if (setDiscoverable)
            if (const std::string why = setDiscoverable(mode == "Discoverable"); !why.empty())
                return {500, Fault("Receiver", "ter:Action", "the mode is set, but it was not saved: " + why)};
        return Ok("<tds:SetDiscoveryModeResponse/>");
    });
    d.On(kDevice, "GetUsers", [this](const Call&) -> Reply {
        return Ok("<tds:GetUsersResponse>" +
                  (config_.user.empty() ? std::string()
                                        : "<tds:User><tt:Username>" + Escape(config_.user) +
                                              "</tt:Username><tt:UserLevel>Administrator</tt:UserLevel></tds:User>") +
                  "</tds:GetUsersResponse>");
    });
    d.On(kDevice, "GetWsdlUrl", [](const Call&) -> Reply {
        return Ok("<tds:GetWsdlUrlResponse><tds:WsdlUrl>http://www.onvif.org/ver10/device/wsdl/devicemgmt.wsdl</tds:WsdlUrl>"
                  "</tds:GetWsdlUrlResponse>");
    });
}

std::string Extras::Media2Capabilities() const {
    return std::string("<tr2:Capabilities") + kTr2 + " SnapshotUri=\"" + (config_.snapshot.empty() ? "false" : "true") +
           "\"><tr2:ProfileCapabilities MaximumNumberOfProfiles=\"1\"/><tr2:StreamingCapabilities "
           "RTSPStreaming=\"true\" RTP_RTSP_TCP=\"true\"/></tr2:Capabilities>";
}

void Extras::AddMedia2(Dispatch& d) {
    d.On(
        kMedia2, "GetServiceCapabilities",
        [this](const Call&) -> Reply {
            return Ok(std::string("<tr2:GetServiceCapabilitiesResponse") + kTr2 + ">" + Media2Capabilities() +
                      "</tr2:GetServiceCapabilitiesResponse>");
        },
        true);
    d.On(kMedia2, "GetProfiles", [this](const Call& call) -> Reply {
        const pugi::xml_node& in = call.request.operation;
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
    });
    {
        const Operation uri = [this](const Call& call) -> Reply {
            const std::string& op = call.request.name;
            const pugi::xml_node& in = call.request.operation;
            if (!ChildAnyNs(in, "ProfileToken"))
                return std::pair{400, Fault("Sender", "ter:InvalidArgVal/ter:NoProfile", "ProfileToken is missing")};
            if (auto problem = Media2ProfileProblem(in)) return *problem;
            const std::string& uri = op == "GetStreamUri" ? config_.rtsp : config_.snapshot;
            if (uri.empty())
                return std::pair{500, Fault("Receiver", "ter:ActionNotSupported",
                                            op == "GetStreamUri" ? "no stream is configured for this head"
                                                                 : "no snapshot is configured for this head")};
            return Ok("<tr2:" + op + "Response" + kTr2 + "><tr2:Uri>" + Escape(uri) + "</tr2:Uri></tr2:" + op + "Response>");
        };
        for (const char* name : {"GetStreamUri", "GetSnapshotUri"}) d.On(kMedia2, name, uri);
    }
    {
        const Operation uri = [](const Call& call) -> Reply {
            const std::string& op = call.request.name;
            const pugi::xml_node& in = call.request.operation;
            if (auto problem = Media2ProfileProblem(in)) return *problem;
            const bool sourceOp = op == "GetVideoSourceConfigurations";
            const pugi::xml_node token = ChildAnyNs(in, "ConfigurationToken");
            if (token && std::string(Collapsed(token.text().get())) != (sourceOp ? kSourceConfig : kEncoderConfig))
                return std::pair{400, Fault("Sender", "ter:InvalidArgVal/ter:NoConfig", "no such configuration")};
            return Ok("<tr2:" + op + "Response" + kTr2 + ">" +
                      (sourceOp ? SourceConfiguration("tr2:Configurations") : EncoderConfiguration("tr2:Configurations")) +
                      "</tr2:" + op + "Response>");
        };
        for (const char* name : {"GetVideoSourceConfigurations", "GetVideoEncoderConfigurations"}) d.On(kMedia2, name, uri);
    }
}

}  // namespace ptzd::onvif
