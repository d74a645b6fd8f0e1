// The command call frame, shared by every device command:
//   link check -> argument check -> lock -> clear buffers -> build + BCC ->
//   Transact -> CheckResponse -> decode into the caller's outputs -> unlock.
// An export only states its code, whether its arguments pass, its data
// bytes, its expected length L and how to decode the answer.
#pragma once

#include <cstdint>
#include <span>

#include "link/link.h"
#include "protocol/frame.h"

namespace ptz {

struct Command {
    uint8_t code;
    bool argumentsOk;                 // the command's argument checks, all passed
    std::span<const uint8_t> data;    // request data bytes
    std::span<const uint8_t> payload; // caller's bytes appended after `data` (EEPROM write)
    int32_t expectedLength;           // L: index of the response frame's BCC
};

// Runs everything up to and including the response check. On PTZ_OK the
// library lock is still held, so the caller can decode inside it and must
// call EndCommand(); on any other result the lock has been released.
int32_t BeginCommand(const Command& command);
void EndCommand();

struct NoOutputs {
    void operator()(const uint8_t*) const {}
};

// Runs one command. `decode` receives the response data (frame byte 6 on)
// and writes the caller's outputs; it runs only on an accepted response,
// inside the lock.
template <class Decode = NoOutputs>
int32_t RunCommand(const Command& command, Decode decode = {}) {
    const int32_t result = BeginCommand(command);
    if (result != PTZ_OK) return result;
    decode(ResponseBuffer + kResponseDataIndex);
    EndCommand();
    return PTZ_OK;
}

}  // namespace ptz
