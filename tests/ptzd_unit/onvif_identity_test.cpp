// A head's identity as an ONVIF device: stable, distinct, well formed.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "onvif/identity.h"

namespace {

using ptzd::onvif::Identity;
using ptzd::onvif::IdentityOf;
using ptzd::onvif::ScopeSegment;

TEST(OnvifIdentity, EveryHeadHasItsOwnAndKeepsIt) {
    // Heads of one gateway, the same head name on two gateways, and names
    // that would run together without a separator.
    const std::pair<const char*, const char*> names[] = {{"site-a", "roof"}, {"site-a", "yard"}, {"site-b", "roof"},
                                                         {"a", "b.c"},       {"a.b", "c"},       {"ptzd", "x"}};
    std::set<std::string> macs, uuids, serials;
    for (const auto& [gateway, head] : names) {
        const Identity id = IdentityOf(gateway, head);
        macs.insert(id.mac);
        uuids.insert(id.uuid);
        serials.insert(id.serial);
        // Unicast and locally administered: never a vendor's address.
        EXPECT_TRUE(std::regex_match(id.mac, std::regex("[0-9a-f][26ae](:[0-9a-f]{2}){5}"))) << id.mac;
        EXPECT_TRUE(std::regex_match(id.uuid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-5[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
            << id.uuid;
        const Identity again = IdentityOf(gateway, head);
        EXPECT_EQ(again.mac, id.mac);
        EXPECT_EQ(again.uuid, id.uuid);
    }
    EXPECT_EQ(macs.size(), std::size(names));
    EXPECT_EQ(uuids.size(), std::size(names));
    EXPECT_EQ(IdentityOf("site-a", "roof").serial, "site-a/roof");
}

TEST(OnvifIdentity, ScopeSegmentsKeepOnlyUnreservedCharacters) {
    const std::pair<std::string, std::string> table[] = {
        {"roof", "roof"},
        {"cam-1.north_2~", "cam-1.north_2~"},
        {"roof east", "roof%20east"},
        {"a/b?c#d", "a%2Fb%3Fc%23d"},
        {"100%", "100%25"},
        {"Dach S\xc3\xbc" "d", "Dach%20S%C3%BCd"},
        {"", ""},
    };
    for (const auto& [text, segment] : table) EXPECT_EQ(ScopeSegment(text), segment) << text;
}

}  // namespace
