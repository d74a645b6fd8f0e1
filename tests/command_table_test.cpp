// The library's command table against the simulator's own rules, and
// against the frames the library's exports send; the frame splitter.
#include <cstring>
#include <functional>
#include <set>

#include "head_model.h"
#include "protocol/command_table.h"
#include "protocol/splitter.h"
#include "support.h"

namespace {

using namespace ptztest;

TEST(CommandTable, AgreesWithTheSimulatorOnEveryCode) {
    for (int code = 0; code < 256; ++code) {
        SCOPED_TRACE(code);
        const auto c = static_cast<uint8_t>(code);
        const ptz::CommandInfo* row = ptz::FindCommand(c);
        const std::string simName = ptzsim::CommandName(c);
        ASSERT_EQ(row != nullptr, simName != "?");
        if (row == nullptr) {
            EXPECT_EQ(ptz::AnswerDataLength(c, {}), -1);
            continue;
        }
        EXPECT_EQ(row->name, simName);
        // Answer lengths for requests of the table's own length, and for an
        // EEPROM read of several counts.
        for (uint8_t count : {uint8_t{0}, uint8_t{1}, uint8_t{100}, uint8_t{248}}) {
            std::vector<uint8_t> data(row->requestData + (row->requestCounted ? count : 0), 0);
            if (data.size() >= 3) data[2] = count;
            EXPECT_EQ(ptz::AnswerDataLength(c, data), static_cast<int32_t>(ptzsim::ResponseDataLength(c, data)));
        }
    }
}

TEST(CommandTable, CodesAreUniqueAndFixedLengthsFitAFrame) {
    std::set<uint8_t> codes;
    for (const ptz::CommandInfo& c : ptz::kCommands) {
        EXPECT_TRUE(codes.insert(c.code).second) << c.name;
        if (!c.answerCounted) EXPECT_LE(ptz::AnswerLength(c.code), ptz::kMaxExpectedLength) << c.name;
        else EXPECT_EQ(ptz::AnswerLength(c.code), -1) << c.name;
    }
}

using CommandFrames = SimTest;

// Every export's request carries as many data bytes as the table says.
TEST_F(CommandFrames, EveryExportSendsTheTablesRequestLength) {
    int32_t a = 0, b = 0;
    PTZ_SYSTEM_INFO info;
    PTZ_SYSTEM_SETTING_INFO settings;
    PTZ_STATUS status;
    uint8_t bytes[16] = {};
    const std::function<int32_t()> calls[] = {
        [&] { return PTZ_GetSystemInfo(&info); },       [&] { return PTZ_GetSystemSettingInfo(&settings); },
        [&] { return PTZ_SetIrControl(1); },             [&] { return PTZ_ExecInitialize(); },
        [&] { return PTZ_ExecMotorHP(0); },              [&] { return PTZ_SetMotorPos(0, 1, 5); },
        [&] { return PTZ_GetMotorPos(0, &a); },          [&] { return PTZ_ActMotor(0, 1); },
        [&] { return PTZ_StopMotor(0); },                [&] { return PTZ_GetMotorSpeed(0, &a); },
        [&] { return PTZ_SetMotorSpeed(0, 9); },         [&] { return PTZ_GetPTZStatus(&status); },
        [&] { return PTZ_SetPTPos(1, 2, 3); },           [&] { return PTZ_SetUserHP(0); },
        [&] { return PTZ_MoveUserHP(); },                [&] { return PTZ_SetPresetPos(2, 0); },
        [&] { return PTZ_MovePresetPos(2); },            [&] { return PTZ_GetAutoReturn(&a); },
        [&] { return PTZ_SetAutoReturn(3); },            [&] { return PTZ_ExecAutoPan(2, 0, 0); },
        [&] { return PTZ_GetPTPos(&a, &b); },            [&] { return PTZ_GetPanTiltSyncMode(&a); },
        [&] { return PTZ_SetPanTiltSyncMode(1); },       [&] { return PTZ_EepRead(0x10, 5, bytes); },
        [&] { return PTZ_EepWrite(0x10, 7, bytes); },    [&] { return PTZ_EepBurn(); },
    };
    std::set<uint8_t> seen;
    for (const auto& call : calls) {
        head->ClearRequests();
        ASSERT_EQ(call(), PTZ_OK);  // accepted at the table's answer length
        const auto requests = Requests();
        ASSERT_EQ(requests.size(), 1u);
        const std::vector<uint8_t>& frame = requests[0];
        const ptz::CommandInfo* row = ptz::FindCommand(frame[3]);
        ASSERT_NE(row, nullptr);
        seen.insert(row->code);
        EXPECT_TRUE(ptz::RequestDataFits(*row, std::span<const uint8_t>(frame).subspan(5, frame[4]))) << row->name;
    }
    EXPECT_EQ(seen.size(), ptz::kCommands.size());
}

TEST(CommandTable, DescribesFramesByTheirFields) {
    struct Row {
        const char* frame;
        const char* words;
    } rows[] = {
        {"02 80 00 8C 09 01 00 00 03 E8 FF FF FE 0C 03 00", "SetPTPos param=1 pan=1000 tilt=-500"},
        {"02 80 00 F4 03 12 34 08 03 00", "EepRead address=0x1234 count=8"},
        {"02 40 00 98 00 08 00 00 00 0A 00 00 00 00 03 00", "GetPTPos ok pan=10 tilt=0"},
        {"02 40 00 92 01 00 03 00", "MovePresetPos refused, status 1"},
        {"02 40 00 19 00 00 03 00", "ExecInitialize ok"},
        {"02 40 00 F4 00 02 AA BB 03 00", "EepRead ok 2 bytes"},
        {"02 80 00 81 06 00 01 00 03 00", "SetMotorPos motor=0 param=1"},  // cut short: whole fields only
        {"02 80 00 77 00 03 00", "?"},
        {"02 80 00", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(ptz::DescribeFrame(Hex(row.frame)), row.words) << row.frame;
}

TEST(FrameSplitter, SkipsNoiseAndWaitsForWholeFrames) {
    ptz::FrameSplitter splitter;
    std::vector<std::string> frames;
    auto collect = [&](const std::vector<uint8_t>& f) {
        frames.push_back(ToHex(f));
        return true;
    };
    const auto stream = Hex("FF 00 02 80 00 19 00 03 98 02 80 00 92 01 05 03 95 02 80");
    splitter.Feed(std::span(stream).first(10), collect);
    EXPECT_EQ(frames, std::vector<std::string>{"02 80 00 19 00 03 98"});
    splitter.Feed(std::span(stream).subspan(10), collect);
    EXPECT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], "02 80 00 92 01 05 03 95");
    EXPECT_EQ(splitter.Pending(), 2u);  // the start of a third
    // A handler that refuses stops the splitting and drops the rest.
    const auto two = Hex("02 80 00 19 00 03 98 02 80 00 19 00 03 98");
    splitter.Feed(two, [&](const std::vector<uint8_t>&) { return false; });
    EXPECT_EQ(splitter.Pending(), 0u);
    EXPECT_EQ(ptz::HexText(Hex("00 0A FF")), "000AFF");
}

}  // namespace
