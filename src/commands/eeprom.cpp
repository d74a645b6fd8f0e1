// Infrared control and the EEPROM byte transport (read, write, burn).
#include <cstring>

#include "link/call_frame.h"
#include "protocol/command_table.h"

using namespace ptz;

namespace {

constexpr int32_t kMaxReadCount = 248;   // a 256-byte response frame
constexpr int32_t kMaxWriteCount = 246;  // a 256-byte request frame

int32_t SetIrControl(Door door, int32_t control) {
    const uint8_t data[] = {Low8(control)};
    return RunCommand(door, {.code = 0x12, .argumentsOk = control == 0 || control == 1, .data = data,
                             .payload = {}, .expectedLength = FixedAnswerLength<0x12>()});
}

int32_t EepRead(Door door, int32_t address, int32_t count, uint8_t* buffer) {
    const uint8_t data[] = {Low8(address >> 8), Low8(address), Low8(count)};
    const bool ok = count >= 0 && count <= kMaxReadCount && (buffer != nullptr || count == 0);
    return RunCommand(door, {.code = 0xF4, .argumentsOk = ok, .data = data, .payload = {},
                             .expectedLength = ok ? LengthForAnswerData(count) : 7},
                      [&](const uint8_t* answer) {
                          if (count > 0) std::memcpy(buffer, answer, static_cast<size_t>(count));
                      });
}

int32_t EepWrite(Door door, int32_t address, int32_t count, const uint8_t* data) {
    const uint8_t header[] = {Low8(address >> 8), Low8(address), Low8(count)};
    const bool ok = count >= 0 && count <= kMaxWriteCount && (data != nullptr || count == 0);
    const std::span<const uint8_t> payload =
        ok && count > 0 ? std::span<const uint8_t>(data, static_cast<size_t>(count)) : std::span<const uint8_t>();
    return RunCommand(door, {.code = 0xF5, .argumentsOk = ok, .data = header, .payload = payload,
                             .expectedLength = FixedAnswerLength<0xF5>()});
}

int32_t EepBurn(Door door) {
    return RunCommand(door, {.code = 0xF6, .argumentsOk = true, .data = {}, .payload = {},
                             .expectedLength = FixedAnswerLength<0xF6>()});
}

}  // namespace

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_SetIrControl(int32_t control) { return SetIrControl(kClassic, control); }
PTZ_API int32_t PTZ_CALL PTZ_LinkSetIrControl(int32_t link, int32_t control) {
    return SetIrControl(ByHandle(link), control);
}

PTZ_API int32_t PTZ_CALL PTZ_EepRead(int32_t address, int32_t count, uint8_t* buffer) {
    return EepRead(kClassic, address, count, buffer);
}
PTZ_API int32_t PTZ_CALL PTZ_LinkEepRead(int32_t link, int32_t address, int32_t count, uint8_t* buffer) {
    return EepRead(ByHandle(link), address, count, buffer);
}

PTZ_API int32_t PTZ_CALL PTZ_EepWrite(int32_t address, int32_t count, const uint8_t* data) {
    return EepWrite(kClassic, address, count, data);
}
PTZ_API int32_t PTZ_CALL PTZ_LinkEepWrite(int32_t link, int32_t address, int32_t count, const uint8_t* data) {
    return EepWrite(ByHandle(link), address, count, data);
}

PTZ_API int32_t PTZ_CALL PTZ_EepBurn(void) { return EepBurn(kClassic); }
PTZ_API int32_t PTZ_CALL PTZ_LinkEepBurn(int32_t link) { return EepBurn(ByHandle(link)); }

}  // extern "C"
