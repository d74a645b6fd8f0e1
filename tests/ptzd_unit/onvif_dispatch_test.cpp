// The ONVIF device's table of operations: GetServices and GetCapabilities
// are read off it, so every service it holds is advertised (and nothing
// else), in the order a client expects.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "heads.h"
#include "../motion/motion_support.h"
#include "onvif/dispatch.h"
#include "onvif/names.h"
#include "onvif/server.h"

namespace {

using ptzd::onvif::Call;
using ptzd::onvif::Dispatch;
using ptzd::onvif::Reply;

std::string Envelope(const char* ns, const char* operation, const std::string& inner = "") {
    return std::string("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body><x:") + operation +
           " xmlns:x=\"" + ns + "\">" + inner + "</x:" + operation + "></s:Body></s:Envelope>";
}

std::vector<std::string> All(const std::string& text, const std::string& pattern) {
    std::vector<std::string> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        found.push_back((*it)[1]);
    return found;
}

TEST(OnvifDispatch, OperationsByNamespaceAndNameTheLastAddedWins) {
    Dispatch d;
    d.On("urn:a", "Get", [](const Call&) { return Reply{200, "first"}; });
    d.On("urn:a", "Get", [](const Call&) { return Reply{200, "second"}; }, true);
    d.On("urn:b", "Other", [](const Call&) { return Reply{200, ""}; });
    ptzd::onvif::Request request;
    const std::string path;
    ASSERT_NE(d.Find("urn:a", "Get"), nullptr);
    EXPECT_EQ((*d.Find("urn:a", "Get"))(Call{request, path, false}).body, "second");
    EXPECT_TRUE(d.Open("urn:a", "Get"));
    EXPECT_FALSE(d.Open("urn:b", "Other"));
    EXPECT_EQ(d.Find("urn:b", "Get"), nullptr);  // a name is its namespace's only
    EXPECT_EQ(d.Find("urn:c", "Get"), nullptr);
    EXPECT_TRUE(d.Knows("urn:b"));
    EXPECT_FALSE(d.Knows("urn:"));  // a prefix of a namespace is not it
    EXPECT_FALSE(d.Knows("urn:c"));
}

TEST(OnvifDispatch, CapabilitiesInTheSchemasOrderServicesInTheirs) {
    Dispatch d;
    d.Add({"urn:ptz", "/p", [] { return std::string("<P/>"); }, "PTZ", "<more/>"});
    d.Add({"urn:events", "/e", nullptr, "Events", ""});
    d.Add({"urn:media2", "/m2", [] { return std::string("<M2/>"); }, "", ""});  // none of its own in GetCapabilities
    d.Add({"urn:device", "/d", nullptr, "Device", ""});
    EXPECT_EQ(d.Capabilities("http://h:1"),
              "<tt:Device><tt:XAddr>http://h:1/d</tt:XAddr></tt:Device>"
              "<tt:Events><tt:XAddr>http://h:1/e</tt:XAddr></tt:Events>"
              "<tt:PTZ><tt:XAddr>http://h:1/p</tt:XAddr><more/></tt:PTZ>");
    const std::string with = d.Services("http://h:1", true), without = d.Services("http://h:1", false);
    EXPECT_EQ(All(with, "<tds:Namespace>([^<]*)<"), (std::vector<std::string>{"urn:ptz", "urn:events", "urn:media2", "urn:device"}));
    EXPECT_EQ(All(with, "<tds:Capabilities>(.*?)</tds:Capabilities>"), (std::vector<std::string>{"<P/>", "<M2/>"}));
    EXPECT_EQ(without.find("<tds:Capabilities>"), std::string::npos);
}

// A whole device: what GetServices and GetCapabilities list is what it
// answers, and a service added to its table is advertised at once.
TEST(OnvifDispatch, TheDeviceAdvertisesExactlyTheServicesItHolds) {
    motiontest::SimulatedHead sim;
    ptzd::Heads heads(64);
    heads.Add("cam", sim.Link(), {}, {});
    ptzd::OnvifConfig config;
    config.address = {"127.0.0.1", 8080};
    ptzd::onvif::Server server(*heads.all()[0].motion, config, "");
    ptzd::onvif::Service& service = server.service();
    auto ask = [&](const char* ns, const char* operation, const std::string& inner = "") {
        std::string answer;
        const int status = service.Handle(Envelope(ns, operation, inner), answer, "127.0.0.1:8080", "/onvif/device_service");
        EXPECT_EQ(status, 200) << operation << ": " << answer;
        return answer;
    };
    const std::string services = ask(ptzd::onvif::kDevice, "GetServices", "<x:IncludeCapability>true</x:IncludeCapability>");
    const std::vector<std::string> namespaces = All(services, "<tds:Namespace>([^<]*)<");
    EXPECT_EQ(std::set<std::string>(namespaces.begin(), namespaces.end()).size(), namespaces.size()) << services;
    EXPECT_EQ(namespaces.size(), 5u) << services;  // device, media, PTZ, Media2, events
    for (const std::string& ns : namespaces) {
        EXPECT_NE(service.operations().Find(ns, "GetServiceCapabilities"), nullptr) << ns;
        ask(ns.c_str(), "GetServiceCapabilities");
    }
    // HTTP Digest is offered wherever the device speaks of its security.
    EXPECT_EQ(All(services, "<tds:Security ([^/]*)/>"), (std::vector<std::string>{"UsernameToken=\"true\" HttpDigest=\"true\""}));
    EXPECT_EQ(All(ask(ptzd::onvif::kDevice, "GetCapabilities"), "<tt:(\\w+)><tt:XAddr>"),
              (std::vector<std::string>{"Device", "Events", "Media", "PTZ"}));

    service.operations().On("urn:test", "GetServiceCapabilities", [](const Call&) { return Reply{200, ""}; }, true);
    service.operations().Add({"urn:test", "/onvif/test_service", nullptr, "Imaging", ""});
    EXPECT_EQ(All(ask(ptzd::onvif::kDevice, "GetServices"), "<tds:XAddr>([^<]*)<").back(),
              "http://127.0.0.1:8080/onvif/test_service");
    EXPECT_EQ(All(ask(ptzd::onvif::kDevice, "GetCapabilities"), "<tt:(\\w+)><tt:XAddr>"),
              (std::vector<std::string>{"Device", "Events", "Imaging", "Media", "PTZ"}));
    // An operation the table lacks: not supported, in its namespace's words.
    std::string answer;
    EXPECT_EQ(service.Handle(Envelope(ptzd::onvif::kPtz, "MoveAndStartTracking"), answer, "127.0.0.1:8080"), 500);
    EXPECT_NE(answer.find("MoveAndStartTracking is not supported"), std::string::npos) << answer;
    EXPECT_EQ(service.Handle(Envelope("urn:nowhere", "GeoMove"), answer, "127.0.0.1:8080"), 500);
    EXPECT_NE(answer.find("{urn:nowhere}GeoMove is not supported"), std::string::npos) << answer;
}

}  // namespace
