#include <gtest/gtest.h>

#include <cmath>

#include "follow/feed.h"

using ptzd::follow::ParseLine;

namespace {

struct Row {
    const char* what;
    const char* line;
    bool fix;           // a position comes of it
    const char* why;    // "" when the line is simply taken (or passed over)
    double lat = 0, lon = 0, height = 0;
};

}  // namespace

// The feed's lines, JSON and BaseStation, each on its own: what becomes a
// fix, what is passed over in silence, and what is refused with a reason.
TEST(FollowFeed, EachLineIsAFixNothingOrARefusal) {
    const std::string longId = R"({"id":")" + std::string(65, 'x') + R"(","lat":1,"lon":1,"height":1})";
    const Row rows[] = {
        {"json", R"({"id":"sonde-1","lat":48.1,"lon":11.5,"height":1200.5,"speed":3})", true, "", 48.1, 11.5, 1200.5},
        {"json without height", R"({"id":"a","lat":48.1,"lon":11.5})", false, "\"height\" must be a number"},
        {"json with a text number", R"({"id":"a","lat":"48.1","lon":11.5,"height":1})", false, "\"lat\" must be a number"},
        {"json without id", R"({"lat":48.1,"lon":11.5,"height":1})", false, "\"id\" must be text"},
        {"json with a long id", longId.c_str(), false, "\"id\" must be text"},
        {"json out of range", R"({"id":"a","lat":91,"lon":11.5,"height":1})", false, "lat"},
        {"not json", R"({"id":)", false, "not JSON"},
        {"airborne position", "MSG,3,1,1,4CA2D6,1,2026/12/10,14:00:00.000,2026/12/10,14:00:00.000,,3000,,,52.3,4.76,,,0,0,0,0",
         true, "", 52.3, 4.76, 3000 * 0.3048},
        {"identification", "MSG,1,1,1,4CA2D6,1,2026/12/10,14:00:00.000,2026/12/10,14:00:00.000,KLM123,,,,,,,,,,,", false, ""},
        {"velocity", "MSG,4,1,1,4CA2D6,1,2026/12/10,14:00:00.000,2026/12/10,14:00:00.000,,,420,85,,,0,,,,,", false, ""},
        {"a position with no altitude known", "MSG,3,1,1,3C6444,1,2026/12/10,14:00:00.000,2026/12/10,14:00:00.000,,,,,52.3,4.76,,,,,,",
         false, "no altitude of 3C6444 yet"},
        {"a bad latitude", "MSG,3,1,1,4CA2D6,1,2026/12/10,14:00:00.000,2026/12/10,14:00:00.000,,3000,,,5x,4.76,,,,,,", false,
         "not a pair of numbers"},
        {"a short MSG", "MSG,3,1,1", false, "22 fields"},
        {"a selection record", "SEL,,496,2286,4CA4E5,27215,2010/02/19,18:06:07.710,2010/02/19,18:06:07.710,RYR1427", false, ""},
        {"anything else", "hello", false, "neither a JSON object nor a BaseStation line"},
        {"blank", "", false, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::map<std::string, double> altitudes;
        std::string why;
        const auto fix = ParseLine(r.line, 0, altitudes, why);
        EXPECT_EQ(fix.has_value(), r.fix);
        if (*r.why) EXPECT_NE(why.find(r.why), std::string::npos) << why;
        else EXPECT_EQ(why, "");
        if (fix) {
            EXPECT_DOUBLE_EQ(fix->place.lat, r.lat);
            EXPECT_DOUBLE_EQ(fix->place.lon, r.lon);
            EXPECT_NEAR(fix->place.height, r.height, 1e-9);
        }
    }
}

// A BaseStation position without its altitude takes the aircraft's last
// one (from an altitude-only message), with the site's offset; another
// aircraft's altitude is not taken, and the memory stays bounded.
TEST(FollowFeed, AnAltitudeIsRememberedPerAircraftAndBounded) {
    std::map<std::string, double> altitudes;
    std::string why;
    EXPECT_FALSE(ParseLine("MSG,5,1,1,4CA2D6,1,2026/12/10,14:00:00.000,2026/12/10,14:00:00.000,,2000,,,,,,,0,,0,0", 47, altitudes, why));
    EXPECT_EQ(why, "");
    // One aircraft whatever the case of its address.
    const auto same = ParseLine("MSG,3,1,1,4ca2d6,1,,,,,,,,,52.3,4.76,,,,,,", 47, altitudes, why);
    ASSERT_TRUE(same) << why;
    EXPECT_NEAR(same->place.height, 2000 * 0.3048 + 47, 1e-9);
    EXPECT_FALSE(ParseLine("MSG,3,1,1,4CA2D7,1,,,,,,,,,52.3,4.76,,,,,,", 47, altitudes, why));
    EXPECT_EQ(why, "no altitude of 4CA2D7 yet");
    for (int i = 0; i < 5000; ++i)
        ParseLine("MSG,5,1,1," + std::to_string(100000 + i) + ",1,,,,,,1000,,,,,,,,,,", 0, altitudes, why);
    EXPECT_LE(altitudes.size(), ptzd::follow::Feed::kMaxAltitudes);
}
