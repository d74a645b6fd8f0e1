// User home position, presets 1-16, automatic return and automatic panning.
#include "link/call_frame.h"

using namespace ptz;

namespace {

bool IsFlag(int32_t flag) { return flag == 0 || flag == 1; }
bool IsPreset(int32_t preset) { return preset >= 1 && preset <= 16; }

int32_t Send(uint8_t code, bool argumentsOk, std::span<const uint8_t> data) {
    return RunCommand({.code = code, .argumentsOk = argumentsOk, .data = data, .payload = {},
                       .expectedLength = 7});
}

}  // namespace

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_SetUserHP(int32_t flag) {
    const uint8_t data[] = {Low8(flag)};
    return Send(0x8E, IsFlag(flag), data);
}

PTZ_API int32_t PTZ_CALL PTZ_MoveUserHP(void) { return Send(0x8F, true, {}); }

PTZ_API int32_t PTZ_CALL PTZ_SetPresetPos(int32_t preset, int32_t flag) {
    const uint8_t data[] = {Low8(preset), Low8(flag)};
    return Send(0x91, IsPreset(preset) && IsFlag(flag), data);
}

PTZ_API int32_t PTZ_CALL PTZ_MovePresetPos(int32_t preset) {
    const uint8_t data[] = {Low8(preset)};
    return Send(0x92, IsPreset(preset), data);
}

PTZ_API int32_t PTZ_CALL PTZ_GetAutoReturn(int32_t* autoReturn) {
    return RunCommand({.code = 0x95, .argumentsOk = autoReturn != nullptr, .data = {},
                       .payload = {}, .expectedLength = 8},
                      [&](const uint8_t* answer) { *autoReturn = answer[0]; });
}

PTZ_API int32_t PTZ_CALL PTZ_SetAutoReturn(int32_t autoReturn) {
    const uint8_t data[] = {Low8(autoReturn)};
    return Send(0x96, true, data);
}

PTZ_API int32_t PTZ_CALL PTZ_ExecAutoPan(int32_t mode, int32_t reserved1, int32_t reserved2) {
    (void)reserved1;  // accepted for the interface's sake; never sent
    (void)reserved2;
    const uint8_t data[9] = {Low8(mode)};  // the mode, then eight zero bytes
    return Send(0x97, mode == 0 || mode == 2, data);
}

}  // extern "C"
