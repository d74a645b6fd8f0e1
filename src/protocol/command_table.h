// The command table: which command codes a head understands, what each
// one's request carries, and how long its answer is. The library's exports
// take their answer lengths from it; a gateway uses it to judge and describe
// the frames its clients send.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace ptz {

// One field of a request or answer, for descriptions of frames.
enum class FieldType : uint8_t { None, U8, Hex16, I32 };
struct Field {
    const char* name = nullptr;
    FieldType type = FieldType::None;
};

struct CommandInfo {
    uint8_t code;
    const char* name;
    // Data bytes of the request. With `requestCounted` these are a header
    // whose byte 2 counts that many more bytes (EepWrite).
    uint8_t requestData;
    bool requestCounted;
    // Data bytes of the answer. With `answerCounted` the request's data
    // byte 2 says how many (EepRead).
    uint8_t answerData;
    bool answerCounted;
    std::array<Field, 3> request;  // the request's fields, in order
    std::array<Field, 4> answer;   // the answer's fields, in order
};

constexpr FieldType kU8 = FieldType::U8, kX16 = FieldType::Hex16, kI32 = FieldType::I32;

inline constexpr std::array<CommandInfo, 26> kCommands{{
    {0x00, "GetSystemInfo", 0, false, 184, false, {}, {}},
    {0x10, "GetSystemSettingInfo", 0, false, 4, false, {},
     {{{"panSpeed", kU8}, {"tiltSpeed", kU8}, {"autoReturn", kU8}, {"irControl", kU8}}}},
    {0x12, "SetIrControl", 1, false, 0, false, {{{"control", kU8}}}, {}},
    {0x19, "ExecInitialize", 0, false, 0, false, {}, {}},
    {0x80, "ExecMotorHP", 1, false, 0, false, {{{"motor", kU8}}}, {}},
    {0x81, "SetMotorPos", 6, false, 0, false, {{{"motor", kU8}, {"param", kU8}, {"position", kI32}}}, {}},
    {0x82, "GetMotorPos", 1, false, 4, false, {{{"motor", kU8}}}, {{{"position", kI32}}}},
    {0x83, "ActMotor", 2, false, 0, false, {{{"motor", kU8}, {"param", kU8}}}, {}},
    {0x84, "StopMotor", 1, false, 0, false, {{{"motor", kU8}}}, {}},
    {0x85, "GetMotorSpeed", 1, false, 1, false, {{{"motor", kU8}}}, {{{"speed", kU8}}}},
    {0x86, "SetMotorSpeed", 2, false, 0, false, {{{"motor", kU8}, {"speed", kU8}}}, {}},
    {0x8B, "GetPTZStatus", 0, false, 4, false, {},
     {{{"status0", kU8}, {"status1", kU8}, {"status2", kU8}, {"status3", kU8}}}},
    {0x8C, "SetPTPos", 9, false, 0, false, {{{"param", kU8}, {"pan", kI32}, {"tilt", kI32}}}, {}},
    {0x8E, "SetUserHP", 1, false, 0, false, {{{"flag", kU8}}}, {}},
    {0x8F, "MoveUserHP", 0, false, 0, false, {}, {}},
    {0x91, "SetPresetPos", 2, false, 0, false, {{{"preset", kU8}, {"flag", kU8}}}, {}},
    {0x92, "MovePresetPos", 1, false, 0, false, {{{"preset", kU8}}}, {}},
    {0x95, "GetAutoReturn", 0, false, 1, false, {}, {{{"autoReturn", kU8}}}},
    {0x96, "SetAutoReturn", 1, false, 0, false, {{{"autoReturn", kU8}}}, {}},
    {0x97, "ExecAutoPan", 9, false, 0, false, {{{"mode", kU8}}}, {}},  // the mode, then eight zero bytes
    {0x98, "GetPTPos", 0, false, 8, false, {}, {{{"pan", kI32}, {"tilt", kI32}}}},
    {0x99, "GetPanTiltSyncMode", 0, false, 1, false, {}, {{{"mode", kU8}}}},
    {0x9A, "SetPanTiltSyncMode", 1, false, 0, false, {{{"mode", kU8}}}, {}},
    {0xF4, "EepRead", 3, false, 0, true, {{{"address", kX16}, {"count", kU8}}}, {}},
    {0xF5, "EepWrite", 3, true, 0, false, {{{"address", kX16}, {"count", kU8}}}, {}},
    {0xF6, "EepBurn", 0, false, 0, false, {}, {}},
}};

// The row of a command code; nullptr when no head knows it.
constexpr const CommandInfo* FindCommand(uint8_t code) {
    for (const CommandInfo& c : kCommands)
        if (c.code == code) return &c;
    return nullptr;
}

// L (the index of the answer's BCC) for an answer of `answerData` data bytes.
constexpr int32_t LengthForAnswerData(int32_t answerData) { return answerData + 7; }

// L for a command of fixed answer length; -1 for an unknown code or one
// whose length depends on the request (use AnswerLength with its data).
constexpr int32_t AnswerLength(uint8_t code) {
    // By value, not through FindCommand's pointer: a pointer compared with
    // nullptr is no constant expression under the sanitizers' checks.
    for (const CommandInfo& c : kCommands)
        if (c.code == code) return c.answerCounted ? -1 : LengthForAnswerData(c.answerData);
    return -1;
}

// The same for a code fixed at compile time, which must have a fixed length.
template <uint8_t Code>
constexpr int32_t FixedAnswerLength() {
    constexpr int32_t length = AnswerLength(Code);
    static_assert(length > 0, "the command table has no fixed answer length for this code");
    return length;
}

// The answer's data length for a request with these data bytes; -1 for an
// unknown code. A counted answer whose count byte is missing has none.
int32_t AnswerDataLength(uint8_t code, std::span<const uint8_t> requestData);

// Whether a request's data bytes are as many as the command takes.
bool RequestDataFits(const CommandInfo& command, std::span<const uint8_t> requestData);

// A frame in words: the command's name and its fields ("SetPTPos param=1
// pan=1000 tilt=-500"; an answer: "GetPTPos ok pan=10 tilt=0", "... refused,
// status 1"). Empty for something that is not a frame; an unknown code is
// named "?".
std::string DescribeFrame(std::span<const uint8_t> frame);

}  // namespace ptz
