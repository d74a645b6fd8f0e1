// MQTT names: head names as topic levels and Home Assistant ids, and
// topic filters.
#include <gtest/gtest.h>

#include <set>

#include "mqtt/client.h"

namespace {

using ptzd::mqtt::Matches;
using ptzd::mqtt::TopicLevel;

TEST(MqttNames, IdsKeepHomeAssistantsCharactersAndNeverMeet) {
    const std::pair<const char*, const char*> table[] = {
        {"roof", "roof"},     {"yard.east", "yard_2Eeast"}, {"front_door", "front_5Fdoor"},
        {"a-b", "a-b"},       {"a_2Eb", "a_5F2Eb"},         {"", ""},
    };
    for (const auto& [name, id] : table) EXPECT_EQ(TopicLevel(name), id) << name;
    // Names that look alike stay apart.
    std::set<std::string> ids;
    for (const char* name : {"a.b", "a_b", "a-b", "a_2Eb", "a_5Fb", "ab"}) ids.insert(TopicLevel(name));
    EXPECT_EQ(ids.size(), 6u);
}

TEST(MqttNames, FiltersMatchAsMqttSays) {
    const std::tuple<const char*, const char*, bool> table[] = {
        {"ptzd/gw/+/cmd/#", "ptzd/gw/roof/cmd/pan", true},
        {"ptzd/gw/+/cmd/#", "ptzd/gw/roof/cmd/preset/go", true},
        {"ptzd/gw/+/cmd/#", "ptzd/gw/cmd/moves", false},
        {"ptzd/gw/cmd/#", "ptzd/gw/cmd/moves", true},
        {"ptzd/gw/+/cmd/#", "ptzd/other/roof/cmd/pan", false},
    };
    for (const auto& [filter, topic, match] : table) EXPECT_EQ(Matches(filter, topic), match) << filter << " " << topic;
}

}  // namespace
