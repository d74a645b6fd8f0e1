// Motor control: homing, positioning, driving, stopping and speed of one motor.
#include "link/call_frame.h"
#include "protocol/command_table.h"

using namespace ptz;

namespace {

// A command without outputs whose only argument bytes are `data`.
int32_t Send(Door door, uint8_t code, std::span<const uint8_t> data) {
    return RunCommand(door, {.code = code, .argumentsOk = true, .data = data, .payload = {},
                             .expectedLength = AnswerLength(code)});
}

int32_t ExecMotorHP(Door door, int32_t motor) {
    const uint8_t data[] = {Low8(motor)};
    return Send(door, 0x80, data);
}

int32_t SetMotorPos(Door door, int32_t motor, int32_t param, int32_t position) {
    uint8_t data[6] = {Low8(motor), Low8(param)};
    Put32(data + 2, position);
    return Send(door, 0x81, data);
}

int32_t GetMotorPos(Door door, int32_t motor, int32_t* position) {
    const uint8_t data[] = {Low8(motor)};
    return RunCommand(door, {.code = 0x82, .argumentsOk = position != nullptr, .data = data, .payload = {},
                             .expectedLength = FixedAnswerLength<0x82>()},
                      [&](const uint8_t* answer) { *position = Get32(answer); });
}

int32_t ActMotor(Door door, int32_t motor, int32_t param) {
    const uint8_t data[] = {Low8(motor), Low8(param)};
    return Send(door, 0x83, data);
}

int32_t StopMotor(Door door, int32_t motor) {
    const uint8_t data[] = {Low8(motor)};
    return Send(door, 0x84, data);
}

int32_t GetMotorSpeed(Door door, int32_t motor, int32_t* speed) {
    const uint8_t data[] = {Low8(motor)};
    return RunCommand(door, {.code = 0x85, .argumentsOk = (motor == 0 || motor == 4) && speed != nullptr,
                             .data = data, .payload = {}, .expectedLength = FixedAnswerLength<0x85>()},
                      [&](const uint8_t* answer) { *speed = answer[0]; });
}

int32_t SetMotorSpeed(Door door, int32_t motor, int32_t speed) {
    const uint8_t data[] = {Low8(motor), Low8(speed)};
    return Send(door, 0x86, data);
}

}  // namespace

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_ExecMotorHP(int32_t motor) { return ExecMotorHP(kClassic, motor); }
PTZ_API int32_t PTZ_CALL PTZ_LinkExecMotorHP(int32_t link, int32_t motor) {
    return ExecMotorHP(ByHandle(link), motor);
}

PTZ_API int32_t PTZ_CALL PTZ_SetMotorPos(int32_t motor, int32_t param, int32_t position) {
    return SetMotorPos(kClassic, motor, param, position);
}
PTZ_API int32_t PTZ_CALL PTZ_LinkSetMotorPos(int32_t link, int32_t motor, int32_t param, int32_t position) {
    return SetMotorPos(ByHandle(link), motor, param, position);
}

PTZ_API int32_t PTZ_CALL PTZ_GetMotorPos(int32_t motor, int32_t* position) {
    return GetMotorPos(kClassic, motor, position);
}
PTZ_API int32_t PTZ_CALL PTZ_LinkGetMotorPos(int32_t link, int32_t motor, int32_t* position) {
    return GetMotorPos(ByHandle(link), motor, position);
}

PTZ_API int32_t PTZ_CALL PTZ_ActMotor(int32_t motor, int32_t param) { return ActMotor(kClassic, motor, param); }
PTZ_API int32_t PTZ_CALL PTZ_LinkActMotor(int32_t link, int32_t motor, int32_t param) {
    return ActMotor(ByHandle(link), motor, param);
}

PTZ_API int32_t PTZ_CALL PTZ_StopMotor(int32_t motor) { return StopMotor(kClassic, motor); }
PTZ_API int32_t PTZ_CALL PTZ_LinkStopMotor(int32_t link, int32_t motor) { return StopMotor(ByHandle(link), motor); }

PTZ_API int32_t PTZ_CALL PTZ_GetMotorSpeed(int32_t motor, int32_t* speed) {
    return GetMotorSpeed(kClassic, motor, speed);
}
PTZ_API int32_t PTZ_CALL PTZ_LinkGetMotorSpeed(int32_t link, int32_t motor, int32_t* speed) {
    return GetMotorSpeed(ByHandle(link), motor, speed);
}

PTZ_API int32_t PTZ_CALL PTZ_SetMotorSpeed(int32_t motor, int32_t speed) {
    return SetMotorSpeed(kClassic, motor, speed);
}
PTZ_API int32_t PTZ_CALL PTZ_LinkSetMotorSpeed(int32_t link, int32_t motor, int32_t speed) {
    return SetMotorSpeed(ByHandle(link), motor, speed);
}

}  // extern "C"
