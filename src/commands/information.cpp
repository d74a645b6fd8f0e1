// Information and status queries: system texts, setting bytes, status flags.
#include <cstring>

#include "link/call_frame.h"
#include "protocol/command_table.h"

using namespace ptz;

namespace {

constexpr int32_t kTextLength = 13;
constexpr int32_t kTextOffsets[3] = {24, 72, 120};  // in the response data

int32_t GetSystemInfo(Door door, PTZ_SYSTEM_INFO* info) {
    return RunCommand(door, {.code = 0x00, .argumentsOk = info != nullptr, .data = {}, .payload = {},
                             .expectedLength = FixedAnswerLength<0x00>()},
                      [&](const uint8_t* data) {
                          std::memset(info, 0, sizeof *info);
                          char* texts[3] = {info->text0, info->text1, info->text2};
                          for (int i = 0; i < 3; ++i) std::memcpy(texts[i], data + kTextOffsets[i], kTextLength);
                      });
}

int32_t GetSystemSettingInfo(Door door, PTZ_SYSTEM_SETTING_INFO* setting_info) {
    return RunCommand(door, {.code = 0x10, .argumentsOk = setting_info != nullptr, .data = {}, .payload = {},
                             .expectedLength = FixedAnswerLength<0x10>()},
                      [&](const uint8_t* data) {
                          setting_info->setting0 = data[0];
                          setting_info->setting1 = data[1];
                          setting_info->setting2 = data[2];
                          setting_info->setting3 = data[3];
                      });
}

int32_t GetPTZStatus(Door door, PTZ_STATUS* status_info) {
    return RunCommand(door, {.code = 0x8B, .argumentsOk = status_info != nullptr, .data = {}, .payload = {},
                             .expectedLength = FixedAnswerLength<0x8B>()},
                      [&](const uint8_t* data) {
                          status_info->flag0 = data[0] == 0 ? 1 : 0;
                          status_info->flag1 = data[1] == 0 ? 1 : 0;
                          status_info->flag2 = data[2] == 0 ? 1 : 0;
                          status_info->flag3 = data[3] == 0 ? 1 : 0;
                      });
}

}  // namespace

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_GetSystemInfo(PTZ_SYSTEM_INFO* info) { return GetSystemInfo(kClassic, info); }
PTZ_API int32_t PTZ_CALL PTZ_LinkGetSystemInfo(int32_t link, PTZ_SYSTEM_INFO* info) {
    return GetSystemInfo(ByHandle(link), info);
}

PTZ_API int32_t PTZ_CALL PTZ_GetSystemSettingInfo(PTZ_SYSTEM_SETTING_INFO* setting_info) {
    return GetSystemSettingInfo(kClassic, setting_info);
}
PTZ_API int32_t PTZ_CALL PTZ_LinkGetSystemSettingInfo(int32_t link, PTZ_SYSTEM_SETTING_INFO* setting_info) {
    return GetSystemSettingInfo(ByHandle(link), setting_info);
}

PTZ_API int32_t PTZ_CALL PTZ_GetPTZStatus(PTZ_STATUS* status_info) { return GetPTZStatus(kClassic, status_info); }
PTZ_API int32_t PTZ_CALL PTZ_LinkGetPTZStatus(int32_t link, PTZ_STATUS* status_info) {
    return GetPTZStatus(ByHandle(link), status_info);
}

}  // extern "C"
