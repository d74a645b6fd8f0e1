// The simulated head itself: its model, its frame splitter, its control
// language and its trace.
#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "control.h"
#include "protocol/frame.h"
#include "support.h"

namespace {

using namespace ptztest;
using ptzsim::HeadModel;

TEST(HeadModel, RefusalsKeepTheLengthTheHostWaitsFor) {
    HeadModel model;
    // Moving to a preset never stored, a speed of a motor the head lacks, an
    // unknown command: status 1, and the answer as long as a good one.
    EXPECT_EQ(ToHex(model.Answer(Hex("02 80 00 92 01 03 03 11"))), "02 40 00 92 01 00 03 D2");
    const auto speed = model.Answer(ptzsim::RequestFrame(0x85, std::vector<uint8_t>{1}));
    EXPECT_EQ(speed.size(), 9u);
    EXPECT_EQ(speed[4], 1);
    EXPECT_EQ(model.Answer(ptzsim::RequestFrame(0x55, {}))[4], 1);
    // A request with a bad BCC gets no answer at all (NAK on a serial line).
    EXPECT_TRUE(model.Answer(Hex("02 80 00 19 00 03 99")).empty());
}

TEST(HeadModel, MotionMovesAtTheMotorsSpeedAndStopsWhereItIs) {
    int64_t now = 1000;
    HeadModel model;
    model.motion = true;
    model.clock = [&] { return now; };
    auto pt = [&] {
        const auto a = model.Answer(ptzsim::RequestFrame(0x98, {}));
        return std::pair{ptz::Get32(a.data() + 6), ptz::Get32(a.data() + 10)};
    };
    auto moving = [&] { return model.Answer(ptzsim::RequestFrame(0x8B, {}))[7] != 0; };
    // Speed 100 on both axes: 5000 units a second.
    model.Answer(ptzsim::RequestFrame(0x86, std::vector<uint8_t>{0, 100}));
    model.Answer(ptzsim::RequestFrame(0x86, std::vector<uint8_t>{4, 100}));
    std::vector<uint8_t> move(9, 0);
    ptz::Put32(move.data() + 1, 1000);
    ptz::Put32(move.data() + 5, -300);
    model.Answer(ptzsim::RequestFrame(0x8C, move));
    EXPECT_TRUE(moving());
    now += 100;
    EXPECT_EQ(pt(), (std::pair{500, -300}));  // tilt is there, pan half way
    EXPECT_TRUE(moving());
    now += 40;
    // A stop halts pan where it is; tilt stays put.
    model.Answer(ptzsim::RequestFrame(0x84, std::vector<uint8_t>{0}));
    now += 500;
    EXPECT_EQ(pt(), (std::pair{700, -300}));
    EXPECT_FALSE(moving());
    // Presets and home are moves too; a slower motor takes longer.
    model.Answer(ptzsim::RequestFrame(0x91, std::vector<uint8_t>{1, 0}));
    model.Answer(ptzsim::RequestFrame(0x86, std::vector<uint8_t>{0, 10}));  // 500 units a second
    model.Answer(ptzsim::RequestFrame(0x80, std::vector<uint8_t>{0}));      // home pan to 0
    now += 1000;
    EXPECT_EQ(pt().first, 200);
    model.Answer(ptzsim::RequestFrame(0x92, std::vector<uint8_t>{1}));
    now += 1000;
    EXPECT_EQ(pt().first, 700);
}

TEST(HeadModel, BurnedEepromSurvivesInItsFile) {
    const auto file = std::filesystem::temp_directory_path() / ("ptz-eeprom-" + std::to_string(::getpid()));
    {
        HeadModel model(file.string());
        model.Answer(ptzsim::RequestFrame(0xF5, std::vector<uint8_t>{0x12, 0x34, 2, 0xAB, 0xCD}));
        model.Answer(ptzsim::RequestFrame(0xF6, {}));
        model.Answer(ptzsim::RequestFrame(0xF5, std::vector<uint8_t>{0x12, 0x34, 1, 0x00}));  // not burned
    }
    HeadModel reborn(file.string());
    const auto answer = reborn.Answer(ptzsim::RequestFrame(0xF4, std::vector<uint8_t>{0x12, 0x34, 2}));
    EXPECT_EQ(ToHex(answer), ToHex(ptzsim::ResponseFrame(0xF4, 0, std::vector<uint8_t>{0xAB, 0xCD})));
    std::filesystem::remove(file);
}

TEST(FrameSplitter, SkipsNoiseAndWaitsForWholeFrames) {
    ptzsim::FrameSplitter splitter;
    std::vector<std::string> frames;
    auto collect = [&](const std::vector<uint8_t>& f) {
        frames.push_back(ToHex(f));
        return true;
    };
    splitter.Feed(Hex("15 FF 02 80 00 8C 09 01"), collect);
    EXPECT_TRUE(frames.empty());
    splitter.Feed(Hex("00 00 03 E8 FF FF FE 0C 03 1C 02 80 00 19 00 03 98 02 80"), collect);
    EXPECT_EQ(frames, (std::vector<std::string>{"02 80 00 8C 09 01 00 00 03 E8 FF FF FE 0C 03 1C",
                                                "02 80 00 19 00 03 98"}));
}

TEST(Control, RulesAndFaultsRoundTripThroughTheTextForm) {
    ptzsim::Head head;
    const std::vector<ptzsim::Rule> rules = {{0x19, {{{5, Hex("02 40")}, {0, Hex("00 19")}}, true}},
                                             {-1, {{}, false}}};
    const std::string text = ptzsim::FormatRules(rules);
    EXPECT_EQ(text, "rule 19 close 5:0240 0:0019\nrule *\n");
    EXPECT_EQ(ptzsim::RunControl(head, "reset", nullptr), "ok\n");
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        EXPECT_EQ(ptzsim::RunControl(head, text.substr(at, end - at), nullptr), "ok\n");
        at = end + 1;
    }
    const auto reply = head.Answer(Hex("02 80 00 19 00 03 98"), false);
    EXPECT_TRUE(reply.close);
    ASSERT_EQ(reply.chunks.size(), 2u);
    EXPECT_EQ(reply.chunks[0].delayMs, 5);
    EXPECT_TRUE(head.Answer(Hex("02 80 00 98 00 03 19"), false).chunks.empty());  // "rule *": silence

    EXPECT_EQ(ptzsim::RunControl(head, "rules-clear", nullptr), "ok\n");
    EXPECT_EQ(ptzsim::RunControl(head, "faults nak=1 refuse=0x98", nullptr), "ok\n");
    EXPECT_EQ(ToHex(head.Answer(Hex("02 80 00 98 00 03 19"), true).chunks[0].bytes), "15");
    EXPECT_EQ(head.Answer(Hex("02 80 00 98 00 03 19"), true).chunks[0].bytes[4], 1);
    const std::string log = ptzsim::RunControl(head, "requests", nullptr);
    EXPECT_EQ(log, "02800019000398\n02800098000319\n02800098000319\n02800098000319\nend\n");
    EXPECT_EQ(ptzsim::RunControl(head, "frobnicate", nullptr).rfind("error", 0), 0u);
}

TEST(Trace, DescribesFramesInWords) {
    EXPECT_EQ(ptzsim::DescribeFrame(Hex("02 80 00 8C 09 01 00 00 03 E8 FF FF FE 0C 03 1C")),
              "SetPTPos param=1 pan=1000 tilt=-500");
    EXPECT_EQ(ptzsim::DescribeFrame(Hex("02 40 00 98 00 08 00 00 03 E8 FF FF FE 0C 03 C8")),
              "GetPTPos ok pan=1000 tilt=-500");
    EXPECT_EQ(ptzsim::DescribeFrame(Hex("02 40 00 92 01 00 03 D2")), "MovePresetPos refused, status 1");
    EXPECT_EQ(ptzsim::DescribeFrame(Hex("02 80 00 F4 03 01 00 10 03 67")), "EepRead address=0x0100 count=16");
    // Seven bytes of an answer hold no data at all: nothing may be read past them.
    EXPECT_EQ(ptzsim::DescribeFrame(Hex("02 40 00 F4 00 00 03")), "EepRead ok 0 bytes");
    EXPECT_EQ(ptzsim::DescribeFrame(Hex("02 40 00 98 00 00 03")), "GetPTPos");
    EXPECT_EQ(ptzsim::DescribeFrame(Hex("02 40 00 92 01 03 D0")), "MovePresetPos refused, status 1");
}

}  // namespace
