// Combined pan/tilt position and the pan/tilt synchronisation mode.
#include "link/call_frame.h"
#include "protocol/command_table.h"

using namespace ptz;

namespace {

int32_t SetPTPos(Door door, int32_t param, int32_t pan, int32_t tilt) {
    uint8_t data[9] = {Low8(param)};
    Put32(data + 1, pan);
    Put32(data + 5, tilt);
    return RunCommand(door, {.code = 0x8C, .argumentsOk = true, .data = data, .payload = {},
                             .expectedLength = FixedAnswerLength<0x8C>()});
}

int32_t GetPTPos(Door door, int32_t* pan, int32_t* tilt) {
    return RunCommand(door, {.code = 0x98, .argumentsOk = pan != nullptr && tilt != nullptr, .data = {},
                             .payload = {}, .expectedLength = FixedAnswerLength<0x98>()},
                      [&](const uint8_t* answer) {
                          *pan = Get32(answer);  // pan first: with one variable for both, tilt stays
                          *tilt = Get32(answer + 4);
                      });
}

int32_t GetPanTiltSyncMode(Door door, int32_t* mode) {
    return RunCommand(door, {.code = 0x99, .argumentsOk = mode != nullptr, .data = {}, .payload = {},
                             .expectedLength = FixedAnswerLength<0x99>()},
                      [&](const uint8_t* answer) { *mode = answer[0]; });
}

int32_t SetPanTiltSyncMode(Door door, int32_t mode) {
    const uint8_t data[] = {Low8(mode)};
    return RunCommand(door, {.code = 0x9A, .argumentsOk = mode == 0 || mode == 1, .data = data, .payload = {},
                             .expectedLength = FixedAnswerLength<0x9A>()});
}

}  // namespace

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_SetPTPos(int32_t param, int32_t pan, int32_t tilt) {
    return SetPTPos(kClassic, param, pan, tilt);
}
PTZ_API int32_t PTZ_CALL PTZ_LinkSetPTPos(int32_t link, int32_t param, int32_t pan, int32_t tilt) {
    return SetPTPos(ByHandle(link), param, pan, tilt);
}

PTZ_API int32_t PTZ_CALL PTZ_GetPTPos(int32_t* pan, int32_t* tilt) { return GetPTPos(kClassic, pan, tilt); }
PTZ_API int32_t PTZ_CALL PTZ_LinkGetPTPos(int32_t link, int32_t* pan, int32_t* tilt) {
    return GetPTPos(ByHandle(link), pan, tilt);
}

PTZ_API int32_t PTZ_CALL PTZ_GetPanTiltSyncMode(int32_t* mode) { return GetPanTiltSyncMode(kClassic, mode); }
PTZ_API int32_t PTZ_CALL PTZ_LinkGetPanTiltSyncMode(int32_t link, int32_t* mode) {
    return GetPanTiltSyncMode(ByHandle(link), mode);
}

PTZ_API int32_t PTZ_CALL PTZ_SetPanTiltSyncMode(int32_t mode) { return SetPanTiltSyncMode(kClassic, mode); }
PTZ_API int32_t PTZ_CALL PTZ_LinkSetPanTiltSyncMode(int32_t link, int32_t mode) {
    return SetPanTiltSyncMode(ByHandle(link), mode);
}

}  // extern "C"
