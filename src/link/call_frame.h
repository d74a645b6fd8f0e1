// The command call frame, shared by every device command:
//   link check -> argument check -> lock -> clear buffers -> build + BCC ->
//   Transact -> CheckResponse -> decode into the caller's outputs -> unlock.
// An export only states its code, whether its arguments pass, its data
// bytes, its expected length L and how to decode the answer.
//
// Each command has two front doors: the classic export, on the process's one
// link with the process-wide last-error record, and the handle export
// (PTZ_Link...), on a link from the handle table with the calling thread's
// record. Both run the same command through the same frame.
#pragma once

#include <cstdint>
#include <span>

#include "link/handles.h"
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

// Which front door a call came in by.
struct Door {
    bool classic;
    int32_t handle;  // the handle export's link handle
};
constexpr Door kClassic{true, 0};
constexpr Door ByHandle(int32_t handle) { return {false, handle}; }

// Runs everything up to and including the response check. On PTZ_OK the
// link's lock is still held, so the caller can decode inside it and must
// call EndCommand(); on any other result the lock has been released and a
// PTZ_FAILED says why in `failure`.
int32_t BeginCommand(Link& link, const Command& command, Failure& failure);
void EndCommand(Link& link);
// Records a failed call's reason where its front door's caller reads it.
void RecordFailure(Door door, const Failure& failure);

struct NoOutputs {
    void operator()(const uint8_t*) const {}
};

// Runs one command. `decode` receives the response data (frame byte 6 on)
// and writes the caller's outputs; it runs only on an accepted response,
// inside the lock. A handle that names no open link is refused with
// PTZ_BAD_PARAM; the classic link closed gives PTZ_FAILED.
template <class Decode = NoOutputs>
int32_t RunCommand(Door door, const Command& command, Decode decode = {}) {
    HeldLink held(door.classic ? 0 : door.handle);
    Link* link = door.classic ? &ClassicLink : held.get();
    if (link == nullptr) return PTZ_BAD_PARAM;
    Failure failure;
    const int32_t result = BeginCommand(*link, command, failure);
    if (result == PTZ_FAILED && failure.failed) RecordFailure(door, failure);
    if (result != PTZ_OK) return result;
    decode(link->response + kResponseDataIndex);
    EndCommand(*link);
    return PTZ_OK;
}

}  // namespace ptz
