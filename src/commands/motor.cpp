// Motor control: homing, positioning, driving, stopping and speed of one motor.
#include "link/call_frame.h"

using namespace ptz;

namespace {

// A command without outputs whose only argument bytes are `data`.
int32_t Send(uint8_t code, std::span<const uint8_t> data) {
    return RunCommand({.code = code, .argumentsOk = true, .data = data, .payload = {},
                       .expectedLength = 7});
}

}  // namespace

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_ExecMotorHP(int32_t motor) {
    const uint8_t data[] = {Low8(motor)};
    return Send(0x80, data);
}

PTZ_API int32_t PTZ_CALL PTZ_SetMotorPos(int32_t motor, int32_t param, int32_t position) {
    uint8_t data[6] = {Low8(motor), Low8(param)};
    Put32(data + 2, position);
    return Send(0x81, data);
}

PTZ_API int32_t PTZ_CALL PTZ_GetMotorPos(int32_t motor, int32_t* position) {
    const uint8_t data[] = {Low8(motor)};
    return RunCommand({.code = 0x82, .argumentsOk = position != nullptr, .data = data,
                       .payload = {}, .expectedLength = 11},
                      [&](const uint8_t* answer) { *position = Get32(answer); });
}

PTZ_API int32_t PTZ_CALL PTZ_ActMotor(int32_t motor, int32_t param) {
    const uint8_t data[] = {Low8(motor), Low8(param)};
    return Send(0x83, data);
}

PTZ_API int32_t PTZ_CALL PTZ_StopMotor(int32_t motor) {
    const uint8_t data[] = {Low8(motor)};
    return Send(0x84, data);
}

PTZ_API int32_t PTZ_CALL PTZ_GetMotorSpeed(int32_t motor, int32_t* speed) {
    const uint8_t data[] = {Low8(motor)};
    return RunCommand({.code = 0x85, .argumentsOk = (motor == 0 || motor == 4) && speed != nullptr,
                       .data = data, .payload = {}, .expectedLength = 8},
                      [&](const uint8_t* answer) { *speed = answer[0]; });
}

PTZ_API int32_t PTZ_CALL PTZ_SetMotorSpeed(int32_t motor, int32_t speed) {
    const uint8_t data[] = {Low8(motor), Low8(speed)};
    return Send(0x86, data);
}

}  // extern "C"
