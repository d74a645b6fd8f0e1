// VISCA messages as controllers send them, and the replies a camera gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "visca/codec.h"

namespace {

using namespace ptzd::visca;

std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size() + 1; i += 3) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

struct Row {
    const char* bytes;
    Kind kind;
};

TEST(ViscaParse, EveryMessageAHeadServesAndWhatItRefuses) {
    const Row rows[] = {
        {"81 01 06 01 0C 0A 01 03 FF", Kind::Drive},
        {"81 01 06 01 18 17 03 03 FF", Kind::Drive},
        {"81 01 06 01 19 17 01 03 FF", Kind::Invalid},   // pan speed above 0x18
        {"81 01 06 01 18 18 01 01 FF", Kind::Invalid},   // tilt speed above 0x17
        {"81 01 06 01 00 01 01 03 FF", Kind::Invalid},   // speed 0 on a moving axis
        {"81 01 06 01 00 00 03 03 FF", Kind::Drive},     // the stop controllers send: no speed on a stopped axis
        {"81 01 06 01 7F 7F 03 03 FF", Kind::Drive},
        {"81 01 06 01 00 05 03 01 FF", Kind::Drive},     // pan stopped, tilt up
        {"81 01 06 01 05 00 01 03 FF", Kind::Drive},     // pan left, tilt stopped
        {"81 01 06 01 05 00 01 01 FF", Kind::Invalid},   // tilt moves at speed 0
        {"81 01 06 01 01 01 04 03 FF", Kind::Invalid},   // no such direction
        {"81 01 06 02 18 17 00 00 00 00 00 00 00 00 FF", Kind::Absolute},
        {"81 01 06 03 01 01 0F 0F 0F 0F 00 00 00 01 FF", Kind::Relative},
        {"81 01 06 02 18 17 10 00 00 00 00 00 00 00 FF", Kind::Invalid},  // a position byte is not a nibble
        {"81 01 06 02 18 17 00 00 00 00 00 00 00 FF", Kind::Invalid},     // one nibble short
        {"81 01 06 04 FF", Kind::Home},
        {"81 01 06 05 FF", Kind::Reset},
        {"81 01 06 07 00 01 07 0F 0F 0F 07 0F 0F 0F FF", Kind::NotExecutable},  // a limit set
        {"81 01 04 3F 00 05 FF", Kind::MemoryReset},
        {"81 01 04 3F 01 05 FF", Kind::MemorySet},
        {"81 01 04 3F 02 05 FF", Kind::MemoryRecall},
        {"81 01 04 3F 03 05 FF", Kind::Invalid},
        {"81 01 04 07 02 FF", Kind::NotExecutable},     // zoom tele
        {"81 01 04 08 03 FF", Kind::NotExecutable},     // focus near
        {"81 01 04 39 00 FF", Kind::NotExecutable},     // exposure mode
        {"81 09 06 12 FF", Kind::InquirePosition},
        {"81 09 04 00 FF", Kind::InquirePower},
        {"81 09 00 02 FF", Kind::InquireVersion},
        {"81 09 06 11 FF", Kind::InquireMaxSpeed},
        {"81 09 06 10 FF", Kind::InquireStatus},
        {"81 09 04 47 FF", Kind::NotExecutable},        // zoom position: no zoom here
        {"81 09 06 15 FF", Kind::Invalid},              // no such pan-tilt inquiry
        {"81 09 7E 01 FF", Kind::Invalid},              // an inquiry of a category no camera has
        {"81 01 7E 01 18 FF", Kind::Invalid},           // a command of such a category
        {"81 01 00 05 FF", Kind::Invalid},              // no such interface command
        {"81 01 00 01 FF", Kind::IfClear},
        {"88 01 00 01 FF", Kind::IfClear},
        {"88 30 01 FF", Kind::AddressSet},
        {"81 21 FF", Kind::Cancel},
        {"81 22 FF", Kind::Cancel},
        {"81 01 06 04", Kind::Invalid},                 // no terminator
        {"01 06 04 FF", Kind::Invalid},                 // no address byte
        {"81 FF", Kind::Invalid},
        {"81 01 06 FF 04 FF", Kind::Invalid},           // a terminator inside
        {"81 01 06 84 FF", Kind::Invalid},              // a top bit inside
        {"89 01 06 04 FF", Kind::Invalid},              // no such address
        {"88 01 06 04 FF", Kind::Invalid},              // broadcast only for the interface's messages
        {"81 05 06 04 FF", Kind::Invalid},              // no such category
        {"81 01 06 01 01 01 01 01 00 00 00 00 00 00 00 FF", Kind::Invalid},  // 16 bytes, not a drive
        {"81 01 06 01 01 01 01 01 00 00 00 00 00 00 00 00 FF", Kind::Invalid},  // 17 bytes: too long
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes);
        EXPECT_EQ(static_cast<int>(Parse(Bytes(row.bytes)).kind), static_cast<int>(row.kind));
    }
}

TEST(ViscaParse, DriveDirectionsSpeedsAndPositions) {
    struct {
        const char* bytes;
        int pan, tilt;
    } drives[] = {
        {"81 01 06 01 05 06 03 01 FF", 0, 1},    // up
        {"81 01 06 01 05 06 03 02 FF", 0, -1},   // down
        {"81 01 06 01 05 06 01 03 FF", -1, 0},   // left
        {"81 01 06 01 05 06 02 03 FF", 1, 0},    // right
        {"81 01 06 01 05 06 01 01 FF", -1, 1},   // up left
        {"81 01 06 01 05 06 02 01 FF", 1, 1},    // up right
        {"81 01 06 01 05 06 01 02 FF", -1, -1},  // down left
        {"81 01 06 01 05 06 02 02 FF", 1, -1},   // down right
        {"81 01 06 01 05 06 03 03 FF", 0, 0},    // stop
    };
    for (const auto& d : drives) {
        SCOPED_TRACE(d.bytes);
        const Message m = Parse(Bytes(d.bytes));
        EXPECT_EQ(m.panDirection, d.pan);
        EXPECT_EQ(m.tiltDirection, d.tilt);
        EXPECT_EQ(m.panSpeed, 5);
        EXPECT_EQ(m.tiltSpeed, 6);
    }
    const Message b = Parse(Bytes("81 01 06 02 10 08 0F 0C 0E 00 00 03 00 00 FF"));
    EXPECT_EQ(b.kind, Kind::Absolute);
    EXPECT_EQ(b.pan, -800);   // 0xFCE0
    EXPECT_EQ(b.tilt, 0x300);
    EXPECT_EQ(Parse(Bytes("81 01 04 3F 02 7F FF")).memory, 127);
    EXPECT_EQ(Parse(Bytes("81 22 FF")).socket, 2);
}

TEST(ViscaCodec, RepliesAndNibbles) {
    EXPECT_EQ(Hex(Ack(1)), "90 41 FF");
    EXPECT_EQ(Hex(Completion(2)), "90 52 FF");
    const uint8_t power[] = {0x02};
    EXPECT_EQ(Hex(Completion(0, power)), "90 50 02 FF");
    EXPECT_EQ(Hex(Error(0, kSyntaxError)), "90 60 02 FF");
    EXPECT_EQ(Hex(Error(1, kNotExecutable)), "90 61 41 FF");
    for (int32_t v : {0, 1, -1, 32767, -32768, 1234, -4321}) {
        std::vector<uint8_t> four;
        PutNibbles(four, v);
        ASSERT_EQ(four.size(), 4u);
        EXPECT_EQ(Nibbles(four), v);
    }
}

TEST(ViscaIp, HeaderRoundTripAndLengthCheck) {
    const uint8_t payload[] = {0x81, 0x09, 0x06, 0x12, 0xFF};
    const auto packet = IpPacket(kInquiry, 0x01020304, payload);
    EXPECT_EQ(Hex(packet), "01 10 00 05 01 02 03 04 81 09 06 12 FF");
    IpHeader h;
    ASSERT_TRUE(ParseIpHeader(packet, h));
    EXPECT_EQ(h.type, kInquiry);
    EXPECT_EQ(h.sequence, 0x01020304u);
    EXPECT_EQ(h.length, 5);
    auto shorter = packet;
    shorter.pop_back();
    EXPECT_FALSE(ParseIpHeader(shorter, h));
    EXPECT_FALSE(ParseIpHeader(std::span(packet).first(7), h));
}

TEST(ViscaStream, SplitsAtTerminatorsAndSkipsOverlongRuns) {
    StreamSplitter s;
    std::vector<std::string> messages;
    int overlong = 0;
    auto feed = [&](const std::string& hex) {
        s.Feed(Bytes(hex), [&](std::span<const uint8_t> m) { messages.push_back(Hex(m)); }, [&] { ++overlong; });
    };
    feed("81 09 06 12 FF 81 01");
    feed("06 04 FF");
    EXPECT_EQ(messages, (std::vector<std::string>{"81 09 06 12 FF", "81 01 06 04 FF"}));
    feed("81 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 FF 81 09 04 00 FF");
    EXPECT_EQ(overlong, 1);
    EXPECT_EQ(messages.back(), "81 09 04 00 FF");
}

}  // namespace
