// Infrared control and the EEPROM byte transport (read, write, burn).
#include <cstring>

#include "link/call_frame.h"

using namespace ptz;

namespace {
constexpr int32_t kMaxReadCount = 248;   // a 256-byte response frame
constexpr int32_t kMaxWriteCount = 246;  // a 256-byte request frame
}  // namespace

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_SetIrControl(int32_t control) {
    const uint8_t data[] = {Low8(control)};
    return RunCommand({.code = 0x12, .argumentsOk = control == 0 || control == 1, .data = data,
                       .payload = {}, .expectedLength = 7});
}

PTZ_API int32_t PTZ_CALL PTZ_EepRead(int32_t address, int32_t count, uint8_t* buffer) {
    const uint8_t data[] = {Low8(address >> 8), Low8(address), Low8(count)};
    const bool ok = count >= 0 && count <= kMaxReadCount && (buffer != nullptr || count == 0);
    return RunCommand({.code = 0xF4, .argumentsOk = ok, .data = data, .payload = {},
                       .expectedLength = ok ? count + 7 : 7},
                      [&](const uint8_t* answer) {
                          if (count > 0) std::memcpy(buffer, answer, static_cast<size_t>(count));
                      });
}

PTZ_API int32_t PTZ_CALL PTZ_EepWrite(int32_t address, int32_t count, const uint8_t* data) {
    const uint8_t header[] = {Low8(address >> 8), Low8(address), Low8(count)};
    const bool ok = count >= 0 && count <= kMaxWriteCount && (data != nullptr || count == 0);
    const std::span<const uint8_t> payload =
        ok && count > 0 ? std::span<const uint8_t>(data, static_cast<size_t>(count))
                        : std::span<const uint8_t>();
    return RunCommand({.code = 0xF5, .argumentsOk = ok, .data = header, .payload = payload,
                       .expectedLength = 7});
}

PTZ_API int32_t PTZ_CALL PTZ_EepBurn(void) {
    return RunCommand({.code = 0xF6, .argumentsOk = true, .data = {}, .payload = {},
                       .expectedLength = 7});
}

}  // extern "C"
