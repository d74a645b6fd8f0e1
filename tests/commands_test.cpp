// The device commands over TCP: exact request frames, decoding, argument
// checks, outputs untouched on failure, EEPROM at its edges.
#include <cstring>

#include "support.h"

namespace {

using namespace ptztest;

using Commands = SimTest;

// Outputs shared by the rows below; reset before every row.
struct Outputs {
    int32_t a = 0x5A5A5A5A, b = 0x5A5A5A5A;
    PTZ_SYSTEM_INFO info;
    PTZ_SYSTEM_SETTING_INFO settings;
    PTZ_STATUS status;
    uint8_t eeprom[300];
    Outputs() {
        std::memset(&info, 0x5A, sizeof info);
        std::memset(&settings, 0x5A, sizeof settings);
        std::memset(&status, 0x5A, sizeof status);
        std::memset(eeprom, 0x5A, sizeof eeprom);
    }
};

struct FrameRow {
    const char* name;
    std::function<int32_t(Outputs&)> call;
    const char* request;
};

TEST_F(Commands, RequestFramesAreExact) {
    const FrameRow rows[] = {
        {"SetMotorPos(1,2,300)", [](Outputs&) { return PTZ_SetMotorPos(1, 2, 300); },
         "02 80 00 81 06 01 02 00 00 01 2C 03 28"},
        {"SetMotorPos(0,0,-1)", [](Outputs&) { return PTZ_SetMotorPos(0, 0, -1); },
         "02 80 00 81 06 00 00 FF FF FF FF 03 06"},
        {"SetMotorPos(0,0,-300)", [](Outputs&) { return PTZ_SetMotorPos(0, 0, -300); },
         "02 80 00 81 06 00 00 FF FF FE D4 03 2C"},
        {"GetMotorPos(0)", [](Outputs& o) { return PTZ_GetMotorPos(0, &o.a); }, "02 80 00 82 01 00 03 02"},
        {"GetMotorSpeed(4)", [](Outputs& o) { return PTZ_GetMotorSpeed(4, &o.a); }, "02 80 00 85 01 04 03 01"},
        {"SetMotorSpeed(0x105,0x1FF)", [](Outputs&) { return PTZ_SetMotorSpeed(0x105, 0x1FF); },
         "02 80 00 86 02 05 FF 03 FF"},
        {"SetMotorSpeed(4,200)", [](Outputs&) { return PTZ_SetMotorSpeed(4, 200); }, "02 80 00 86 02 04 C8 03 C9"},
        {"ExecMotorHP(0)", [](Outputs&) { return PTZ_ExecMotorHP(0); }, "02 80 00 80 01 00 03 00"},
        {"StopMotor(4)", [](Outputs&) { return PTZ_StopMotor(4); }, "02 80 00 84 01 04 03 00"},
        {"ActMotor(1,2)", [](Outputs&) { return PTZ_ActMotor(1, 2); }, "02 80 00 83 02 01 02 03 03"},
        {"GetSystemInfo", [](Outputs& o) { return PTZ_GetSystemInfo(&o.info); }, "02 80 00 00 00 03 81"},
        {"GetSystemSettingInfo", [](Outputs& o) { return PTZ_GetSystemSettingInfo(&o.settings); },
         "02 80 00 10 00 03 91"},
        {"GetPTZStatus", [](Outputs& o) { return PTZ_GetPTZStatus(&o.status); }, "02 80 00 8B 00 03 0A"},
        {"SetPTPos(1,1000,-500)", [](Outputs&) { return PTZ_SetPTPos(1, 1000, -500); },
         "02 80 00 8C 09 01 00 00 03 E8 FF FF FE 0C 03 1C"},
        {"SetPTPos(0x1FF,-1,65536)", [](Outputs&) { return PTZ_SetPTPos(0x1FF, -1, 65536); },
         "02 80 00 8C 09 FF FF FF FF FF 00 01 00 00 03 FA"},
        {"GetPTPos", [](Outputs& o) { return PTZ_GetPTPos(&o.a, &o.b); }, "02 80 00 98 00 03 19"},
        {"GetPanTiltSyncMode", [](Outputs& o) { return PTZ_GetPanTiltSyncMode(&o.a); }, "02 80 00 99 00 03 18"},
        {"SetPanTiltSyncMode(0)", [](Outputs&) { return PTZ_SetPanTiltSyncMode(0); }, "02 80 00 9A 01 00 03 1A"},
        {"SetPanTiltSyncMode(1)", [](Outputs&) { return PTZ_SetPanTiltSyncMode(1); }, "02 80 00 9A 01 01 03 1B"},
        {"SetPresetPos(3,1)", [](Outputs&) { return PTZ_SetPresetPos(3, 1); }, "02 80 00 91 02 03 01 03 10"},
        {"SetPresetPos(16,0)", [](Outputs&) { return PTZ_SetPresetPos(16, 0); }, "02 80 00 91 02 10 00 03 02"},
        {"MovePresetPos(3)", [](Outputs&) { return PTZ_MovePresetPos(3); }, "02 80 00 92 01 03 03 11"},
        {"SetUserHP(0)", [](Outputs&) { return PTZ_SetUserHP(0); }, "02 80 00 8E 01 00 03 0E"},
        {"SetUserHP(1)", [](Outputs&) { return PTZ_SetUserHP(1); }, "02 80 00 8E 01 01 03 0F"},
        {"MoveUserHP", [](Outputs&) { return PTZ_MoveUserHP(); }, "02 80 00 8F 00 03 0E"},
        {"GetAutoReturn", [](Outputs& o) { return PTZ_GetAutoReturn(&o.a); }, "02 80 00 95 00 03 14"},
        {"SetAutoReturn(300)", [](Outputs&) { return PTZ_SetAutoReturn(300); }, "02 80 00 96 01 2C 03 3A"},
        {"SetAutoReturn(-1)", [](Outputs&) { return PTZ_SetAutoReturn(-1); }, "02 80 00 96 01 FF 03 E9"},
        {"ExecAutoPan(0)", [](Outputs&) { return PTZ_ExecAutoPan(0, 0, 0); },
         "02 80 00 97 09 00 00 00 00 00 00 00 00 00 03 1F"},
        {"ExecAutoPan(2,5,7)", [](Outputs&) { return PTZ_ExecAutoPan(2, 5, 7); },
         "02 80 00 97 09 02 00 00 00 00 00 00 00 00 03 1D"},
        {"SetIrControl(1)", [](Outputs&) { return PTZ_SetIrControl(1); }, "02 80 00 12 01 01 03 93"},
        {"SetIrControl(0)", [](Outputs&) { return PTZ_SetIrControl(0); }, "02 80 00 12 01 00 03 92"},
        {"EepBurn", [](Outputs&) { return PTZ_EepBurn(); }, "02 80 00 F6 00 03 77"},
        {"EepRead(0x100,16)", [](Outputs& o) { return PTZ_EepRead(0x0100, 16, o.eeprom); },
         "02 80 00 F4 03 01 00 10 03 67"},
        {"EepWrite(0x1234,0)", [](Outputs&) { return PTZ_EepWrite(0x1234, 0, nullptr); },
         "02 80 00 F5 03 12 34 00 03 51"},
        {"EepRead(0x12345,0)", [](Outputs& o) { return PTZ_EepRead(0x12345, 0, o.eeprom); },
         "02 80 00 F4 03 23 45 00 03 10"},
        {"EepRead(-1,1)", [](Outputs& o) { return PTZ_EepRead(-1, 1, o.eeprom); },
         "02 80 00 F4 03 FF FF 01 03 77"},
    };
    for (const FrameRow& row : rows) {
        SCOPED_TRACE(row.name);
        head->ClearRequests();
        Outputs outputs;
        row.call(outputs);  // the simulated head may refuse some; only the bytes matter here
        ASSERT_EQ(Requests().size(), 1u);
        EXPECT_EQ(ToHex(LastRequest()), row.request);
    }
}

struct DecodeRow {
    const char* name;
    std::function<int32_t(Outputs&)> call;
    const char* response;
    std::function<void(const Outputs&)> expect;
};

TEST_F(Commands, ResponsesAreDecodedExactly) {
    const DecodeRow rows[] = {
        {"GetMotorPos -300", [](Outputs& o) { return PTZ_GetMotorPos(0, &o.a); }, "02 40 00 82 00 04 FF FF FE D4 03 ED",
         [](const Outputs& o) { EXPECT_EQ(o.a, -300); }},
        {"GetMotorPos 300", [](Outputs& o) { return PTZ_GetMotorPos(0, &o.a); }, "02 40 00 82 00 04 00 00 01 2C 03 EA",
         [](const Outputs& o) { EXPECT_EQ(o.a, 300); }},
        {"GetMotorSpeed 200", [](Outputs& o) { return PTZ_GetMotorSpeed(4, &o.a); }, "02 40 00 85 00 01 C8 03 0D",
         [](const Outputs& o) { EXPECT_EQ(o.a, 200); }},
        {"GetPTPos", [](Outputs& o) { return PTZ_GetPTPos(&o.a, &o.b); },
         "02 40 00 98 00 08 00 00 03 E8 FF FF FE 0C 03 C8",
         [](const Outputs& o) {
             EXPECT_EQ(o.a, 1000);
             EXPECT_EQ(o.b, -500);
         }},
        {"GetPTPos extremes", [](Outputs& o) { return PTZ_GetPTPos(&o.a, &o.b); },
         "02 40 00 98 00 08 80 00 00 00 00 00 00 01 03 50",
         [](const Outputs& o) {
             EXPECT_EQ(o.a, INT32_MIN);
             EXPECT_EQ(o.b, 1);
         }},
        {"GetPTPos one variable for both", [](Outputs& o) { return PTZ_GetPTPos(&o.a, &o.a); },
         "02 40 00 98 00 08 80 00 00 00 00 00 00 01 03 50", [](const Outputs& o) { EXPECT_EQ(o.a, 1); }},
        {"GetPanTiltSyncMode 255", [](Outputs& o) { return PTZ_GetPanTiltSyncMode(&o.a); },
         "02 40 00 99 00 01 FF 03 26", [](const Outputs& o) { EXPECT_EQ(o.a, 255); }},
        {"GetAutoReturn 128", [](Outputs& o) { return PTZ_GetAutoReturn(&o.a); }, "02 40 00 95 00 01 80 03 55",
         [](const Outputs& o) { EXPECT_EQ(o.a, 128); }},
        {"GetPTZStatus", [](Outputs& o) { return PTZ_GetPTZStatus(&o.status); },
         "02 40 00 8B 00 04 00 01 FF 00 03 30",
         [](const Outputs& o) {
             EXPECT_EQ(o.status.flag0, 1);
             EXPECT_EQ(o.status.flag1, 0);
             EXPECT_EQ(o.status.flag2, 0);
             EXPECT_EQ(o.status.flag3, 1);
         }},
        {"GetPTZStatus inverted", [](Outputs& o) { return PTZ_GetPTZStatus(&o.status); },
         "02 40 00 8B 00 04 FF 00 00 07 03 36",
         [](const Outputs& o) {
             EXPECT_EQ(o.status.flag0, 0);
             EXPECT_EQ(o.status.flag1, 1);
             EXPECT_EQ(o.status.flag2, 1);
             EXPECT_EQ(o.status.flag3, 0);
         }},
        {"GetSystemSettingInfo", [](Outputs& o) { return PTZ_GetSystemSettingInfo(&o.settings); },
         "02 40 00 10 00 04 01 02 80 FF 03 29",
         [](const Outputs& o) {
             EXPECT_EQ(o.settings.setting0, 1);
             EXPECT_EQ(o.settings.setting1, 2);
             EXPECT_EQ(o.settings.setting2, 128);
             EXPECT_EQ(o.settings.setting3, 255);
         }},
        {"ExecMotorHP", [](Outputs&) { return PTZ_ExecMotorHP(0); }, "02 40 00 80 00 00 03 C1",
         [](const Outputs&) {}},
        {"SetPTPos", [](Outputs&) { return PTZ_SetPTPos(1, 1000, -500); }, "02 40 00 8C 00 00 03 CD",
         [](const Outputs&) {}},
        {"SetPresetPos", [](Outputs&) { return PTZ_SetPresetPos(3, 1); }, "02 40 00 91 00 00 03 D0",
         [](const Outputs&) {}},
    };
    for (const DecodeRow& row : rows) {
        SCOPED_TRACE(row.name);
        AnswerWith(Hex(row.response));
        Outputs outputs;
        ASSERT_EQ(row.call(outputs), PTZ_OK);
        row.expect(outputs);
    }
}

TEST_F(Commands, SystemInfoCopiesThirteenBytesAsTheyStandAndZeroesTheRest) {
    std::vector<uint8_t> data(184, 0xEE);
    const char* texts[3] = {"ABCDEFGHIJKLM", "short\0tailtai", "0123456789xyz"};
    const size_t offsets[3] = {24, 72, 120};
    for (int i = 0; i < 3; ++i) std::memcpy(data.data() + offsets[i], texts[i], 13);
    AnswerWith(ptzsim::ResponseFrame(0x00, 0, data));
    Outputs o;
    ASSERT_EQ(PTZ_GetSystemInfo(&o.info), PTZ_OK);
    EXPECT_EQ(std::memcmp(o.info.text0, "ABCDEFGHIJKLM\0\0\0", 16), 0);
    EXPECT_EQ(std::memcmp(o.info.text1, "short\0tailtai\0\0\0", 16), 0);
    EXPECT_EQ(std::memcmp(o.info.text2, "0123456789xyz\0\0\0", 16), 0);
    for (char c : o.info.spare) EXPECT_EQ(c, 0);
}

TEST_F(Commands, ArgumentChecksRejectWholeValuesBeforeSending) {
    Outputs o;
    const std::vector<std::pair<const char*, std::function<int32_t()>>> rejected = {
        {"GetMotorSpeed(1)", [&] { return PTZ_GetMotorSpeed(1, &o.a); }},
        {"GetMotorSpeed(5)", [&] { return PTZ_GetMotorSpeed(5, &o.a); }},
        {"GetMotorSpeed(-4)", [&] { return PTZ_GetMotorSpeed(-4, &o.a); }},
        {"GetMotorSpeed(260)", [&] { return PTZ_GetMotorSpeed(260, &o.a); }},
        {"SetPanTiltSyncMode(2)", [] { return PTZ_SetPanTiltSyncMode(2); }},
        {"SetPanTiltSyncMode(-1)", [] { return PTZ_SetPanTiltSyncMode(-1); }},
        {"SetPanTiltSyncMode(256)", [] { return PTZ_SetPanTiltSyncMode(256); }},
        {"SetUserHP(2)", [] { return PTZ_SetUserHP(2); }},
        {"SetUserHP(-1)", [] { return PTZ_SetUserHP(-1); }},
        {"SetUserHP(256)", [] { return PTZ_SetUserHP(256); }},
        {"SetPresetPos(0,0)", [] { return PTZ_SetPresetPos(0, 0); }},
        {"SetPresetPos(17,0)", [] { return PTZ_SetPresetPos(17, 0); }},
        {"SetPresetPos(-1,0)", [] { return PTZ_SetPresetPos(-1, 0); }},
        {"SetPresetPos(16,2)", [] { return PTZ_SetPresetPos(16, 2); }},
        {"SetPresetPos(257,0)", [] { return PTZ_SetPresetPos(257, 0); }},
        {"MovePresetPos(0)", [] { return PTZ_MovePresetPos(0); }},
        {"MovePresetPos(17)", [] { return PTZ_MovePresetPos(17); }},
        {"MovePresetPos(257)", [] { return PTZ_MovePresetPos(257); }},
        {"ExecAutoPan(1)", [] { return PTZ_ExecAutoPan(1, 0, 0); }},
        {"ExecAutoPan(258)", [] { return PTZ_ExecAutoPan(258, 0, 0); }},
        {"SetIrControl(2)", [] { return PTZ_SetIrControl(2); }},
        {"SetIrControl(-1)", [] { return PTZ_SetIrControl(-1); }},
        {"SetIrControl(256)", [] { return PTZ_SetIrControl(256); }},
        {"EepRead(count 249)", [&] { return PTZ_EepRead(0, 249, o.eeprom); }},
        {"EepRead(count -1)", [&] { return PTZ_EepRead(0, -1, o.eeprom); }},
        {"EepRead(NULL, 1)", [] { return PTZ_EepRead(0, 1, nullptr); }},
        {"EepWrite(count 247)", [&] { return PTZ_EepWrite(0, 247, o.eeprom); }},
        {"EepWrite(count -1)", [&] { return PTZ_EepWrite(0, -1, o.eeprom); }},
        {"EepWrite(NULL, 1)", [] { return PTZ_EepWrite(0, 1, nullptr); }},
        {"GetSystemInfo(NULL)", [] { return PTZ_GetSystemInfo(nullptr); }},
        {"GetSystemSettingInfo(NULL)", [] { return PTZ_GetSystemSettingInfo(nullptr); }},
        {"GetPTZStatus(NULL)", [] { return PTZ_GetPTZStatus(nullptr); }},
        {"GetMotorPos(NULL)", [] { return PTZ_GetMotorPos(0, nullptr); }},
        {"GetMotorSpeed(NULL)", [] { return PTZ_GetMotorSpeed(0, nullptr); }},
        {"GetPTPos(NULL pan)", [&] { return PTZ_GetPTPos(nullptr, &o.b); }},
        {"GetPTPos(NULL tilt)", [&] { return PTZ_GetPTPos(&o.a, nullptr); }},
        {"GetPanTiltSyncMode(NULL)", [] { return PTZ_GetPanTiltSyncMode(nullptr); }},
        {"GetAutoReturn(NULL)", [] { return PTZ_GetAutoReturn(nullptr); }},
    };
    ptz::SetLastError(1, 1005);
    for (const auto& [name, call] : rejected) EXPECT_EQ(call(), PTZ_BAD_PARAM) << name;
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(LastError(), (ErrorRecord{1, 1005}));
    EXPECT_EQ(o.a, 0x5A5A5A5A);
    // The accepted edges of the same checks go out.
    EXPECT_EQ(PTZ_GetMotorSpeed(0, &o.a), PTZ_OK);
    EXPECT_EQ(PTZ_SetPresetPos(1, 0), PTZ_OK);
    EXPECT_EQ(PTZ_SetPresetPos(16, 1), PTZ_OK);
    EXPECT_EQ(PTZ_MovePresetPos(16), PTZ_OK);
    EXPECT_EQ(PTZ_ExecAutoPan(2, -1, -1), PTZ_OK);
    EXPECT_EQ(PTZ_EepRead(0, 0, nullptr), PTZ_OK);
    EXPECT_EQ(Requests().size(), 6u);
}

TEST_F(Commands, FailedCallsLeaveEveryOutputUntouched) {
    const std::vector<std::pair<const char*, std::function<int32_t(Outputs&)>>> calls = {
        {"GetSystemInfo", [](Outputs& o) { return PTZ_GetSystemInfo(&o.info); }},
        {"GetSystemSettingInfo", [](Outputs& o) { return PTZ_GetSystemSettingInfo(&o.settings); }},
        {"GetPTZStatus", [](Outputs& o) { return PTZ_GetPTZStatus(&o.status); }},
        {"GetMotorPos", [](Outputs& o) { return PTZ_GetMotorPos(0, &o.a); }},
        {"GetMotorSpeed", [](Outputs& o) { return PTZ_GetMotorSpeed(0, &o.a); }},
        {"GetPTPos", [](Outputs& o) { return PTZ_GetPTPos(&o.a, &o.b); }},
        {"GetPanTiltSyncMode", [](Outputs& o) { return PTZ_GetPanTiltSyncMode(&o.a); }},
        {"GetAutoReturn", [](Outputs& o) { return PTZ_GetAutoReturn(&o.a); }},
        {"EepRead", [](Outputs& o) { return PTZ_EepRead(0, 248, o.eeprom); }},
    };
    const Outputs pristine;
    for (const uint8_t status : {uint8_t{1}, uint8_t{0}}) {
        // Refused (status 1), then accepted status but a corrupted BCC.
        head->SetFaults({.refuseCode = status ? ptzsim::HeadModel::kRefuseAll : -1, .badBcc = status == 0});
        for (const auto& [name, call] : calls) {
            SCOPED_TRACE(name);
            Outputs o;
            EXPECT_EQ(call(o), PTZ_FAILED);
            EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, status ? PTZ_ERR_RESP_STATUS : PTZ_ERR_RESP_BCC}));
            EXPECT_EQ(std::memcmp(&o, &pristine, sizeof o), 0);
        }
    }
}

TEST_F(Commands, EepromEdgesFillTheBuffersExactly) {
    // A 248-byte read is a 256-byte response frame.
    std::vector<uint8_t> data(248);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    AnswerWith(ptzsim::ResponseFrame(0xF4, 0, data));
    uint8_t buffer[260];
    std::memset(buffer, 0xCC, sizeof buffer);
    ASSERT_EQ(PTZ_EepRead(0x0100, 248, buffer), PTZ_OK);
    EXPECT_EQ(std::memcmp(buffer, data.data(), 248), 0);
    for (int i = 248; i < 260; ++i) EXPECT_EQ(buffer[i], 0xCC) << "byte " << i << " written";

    // A 246-byte write is a 256-byte request frame.
    AnswerNormally();
    head->ClearRequests();
    std::vector<uint8_t> payload(246);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(255 - i);
    ASSERT_EQ(PTZ_EepWrite(0x0010, 246, payload.data()), PTZ_OK);
    const auto request = LastRequest();
    ASSERT_EQ(request.size(), 256u);
    EXPECT_EQ(request[4], 249);
    EXPECT_EQ(request[7], 0xF6);
    EXPECT_EQ(std::memcmp(request.data() + 8, payload.data(), 246), 0);
    EXPECT_EQ(request[254], 0x03);

    // Count 0: an 8-byte answer, nothing written to the buffer.
    std::memset(buffer, 0xCC, sizeof buffer);
    ASSERT_EQ(PTZ_EepRead(0x0010, 0, buffer), PTZ_OK);
    EXPECT_EQ(buffer[0], 0xCC);
}

TEST_F(Commands, SimulatedHeadBehavesLikeOne) {
    int32_t pan = 0, tilt = 0, value = 0;
    EXPECT_EQ(PTZ_MovePresetPos(5), PTZ_FAILED);  // never stored
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_STATUS}));
    EXPECT_EQ(PTZ_SetPTPos(1, 1000, -500), PTZ_OK);
    EXPECT_EQ(PTZ_SetPresetPos(5, 0), PTZ_OK);
    EXPECT_EQ(PTZ_SetPTPos(1, 7, 8), PTZ_OK);
    EXPECT_EQ(PTZ_MovePresetPos(5), PTZ_OK);
    EXPECT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_OK);
    EXPECT_EQ(pan, 1000);
    EXPECT_EQ(tilt, -500);
    EXPECT_EQ(PTZ_SetMotorPos(0, 0, -42), PTZ_OK);
    EXPECT_EQ(PTZ_GetMotorPos(0, &value), PTZ_OK);
    EXPECT_EQ(value, -42);
    EXPECT_EQ(PTZ_SetMotorSpeed(4, 200), PTZ_OK);
    EXPECT_EQ(PTZ_GetMotorSpeed(4, &value), PTZ_OK);
    EXPECT_EQ(value, 200);
    EXPECT_EQ(PTZ_SetAutoReturn(300), PTZ_OK);
    EXPECT_EQ(PTZ_GetAutoReturn(&value), PTZ_OK);
    EXPECT_EQ(value, 44);
    EXPECT_EQ(PTZ_SetPanTiltSyncMode(1), PTZ_OK);
    EXPECT_EQ(PTZ_GetPanTiltSyncMode(&value), PTZ_OK);
    EXPECT_EQ(value, 1);
    const uint8_t bytes[] = {1, 2, 3};
    uint8_t back[3] = {};
    EXPECT_EQ(PTZ_EepWrite(0xFFFF, 3, bytes), PTZ_OK);  // wraps round to address 0
    EXPECT_EQ(PTZ_EepRead(0xFFFF, 3, back), PTZ_OK);
    EXPECT_EQ(std::memcmp(back, bytes, 3), 0);
    EXPECT_EQ(PTZ_EepBurn(), PTZ_OK);
    EXPECT_EQ(head->Burns(), 1u);
}

}  // namespace
