// User home position, presets 1-16, automatic return and automatic panning.
#include "link/call_frame.h"
#include "protocol/command_table.h"

using namespace ptz;

namespace {

bool IsFlag(int32_t flag) { return flag == 0 || flag == 1; }
bool IsPreset(int32_t preset) { return preset >= 1 && preset <= 16; }

int32_t Send(Door door, uint8_t code, bool argumentsOk, std::span<const uint8_t> data) {
    return RunCommand(door, {.code = code, .argumentsOk = argumentsOk, .data = data, .payload = {},
                             .expectedLength = AnswerLength(code)});
}

int32_t SetUserHP(Door door, int32_t flag) {
    const uint8_t data[] = {Low8(flag)};
    return Send(door, 0x8E, IsFlag(flag), data);
}

int32_t MoveUserHP(Door door) { return Send(door, 0x8F, true, {}); }

int32_t SetPresetPos(Door door, int32_t preset, int32_t flag) {
    const uint8_t data[] = {Low8(preset), Low8(flag)};
    return Send(door, 0x91, IsPreset(preset) && IsFlag(flag), data);
}

int32_t MovePresetPos(Door door, int32_t preset) {
    const uint8_t data[] = {Low8(preset)};
    return Send(door, 0x92, IsPreset(preset), data);
}

int32_t GetAutoReturn(Door door, int32_t* autoReturn) {
    return RunCommand(door, {.code = 0x95, .argumentsOk = autoReturn != nullptr, .data = {}, .payload = {},
                             .expectedLength = FixedAnswerLength<0x95>()},
                      [&](const uint8_t* answer) { *autoReturn = answer[0]; });
}

int32_t SetAutoReturn(Door door, int32_t autoReturn) {
    const uint8_t data[] = {Low8(autoReturn)};
    return Send(door, 0x96, true, data);
}

int32_t ExecAutoPan(Door door, int32_t mode) {
    const uint8_t data[9] = {Low8(mode)};  // the mode, then eight zero bytes
    return Send(door, 0x97, mode == 0 || mode == 2, data);
}

}  // namespace

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_SetUserHP(int32_t flag) { return SetUserHP(kClassic, flag); }
PTZ_API int32_t PTZ_CALL PTZ_LinkSetUserHP(int32_t link, int32_t flag) { return SetUserHP(ByHandle(link), flag); }

PTZ_API int32_t PTZ_CALL PTZ_MoveUserHP(void) { return MoveUserHP(kClassic); }
PTZ_API int32_t PTZ_CALL PTZ_LinkMoveUserHP(int32_t link) { return MoveUserHP(ByHandle(link)); }

PTZ_API int32_t PTZ_CALL PTZ_SetPresetPos(int32_t preset, int32_t flag) {
    return SetPresetPos(kClassic, preset, flag);
}
PTZ_API int32_t PTZ_CALL PTZ_LinkSetPresetPos(int32_t link, int32_t preset, int32_t flag) {
    return SetPresetPos(ByHandle(link), preset, flag);
}

PTZ_API int32_t PTZ_CALL PTZ_MovePresetPos(int32_t preset) { return MovePresetPos(kClassic, preset); }
PTZ_API int32_t PTZ_CALL PTZ_LinkMovePresetPos(int32_t link, int32_t preset) {
    return MovePresetPos(ByHandle(link), preset);
}

PTZ_API int32_t PTZ_CALL PTZ_GetAutoReturn(int32_t* autoReturn) { return GetAutoReturn(kClassic, autoReturn); }
PTZ_API int32_t PTZ_CALL PTZ_LinkGetAutoReturn(int32_t link, int32_t* autoReturn) {
    return GetAutoReturn(ByHandle(link), autoReturn);
}

PTZ_API int32_t PTZ_CALL PTZ_SetAutoReturn(int32_t autoReturn) { return SetAutoReturn(kClassic, autoReturn); }
PTZ_API int32_t PTZ_CALL PTZ_LinkSetAutoReturn(int32_t link, int32_t autoReturn) {
    return SetAutoReturn(ByHandle(link), autoReturn);
}

// reserved1/2 are accepted for the interface's sake and never sent.
PTZ_API int32_t PTZ_CALL PTZ_ExecAutoPan(int32_t mode, int32_t, int32_t) { return ExecAutoPan(kClassic, mode); }
PTZ_API int32_t PTZ_CALL PTZ_LinkExecAutoPan(int32_t link, int32_t mode, int32_t, int32_t) {
    return ExecAutoPan(ByHandle(link), mode);
}

}  // extern "C"
