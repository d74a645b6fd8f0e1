// For a gateway that relays its clients' request frames to a head: the
// exchange of one frame as it stands, on a link by handle, with the link's
// own lock, transport, acknowledgement, retries and time-outs.
#pragma once

#include <cstdint>

#include "platform/failure.h"

namespace ptz {

// Sends `request` (a whole request frame) and receives the head's response
// frame, L + 1 bytes (fewer when a TCP head refused with a short frame).
// PTZ_OK with the frame in `response` and its length in `*responseLength`;
// PTZ_FAILED with the reason in `failure` (nothing usable arrived);
// PTZ_BAD_PARAM when the handle names no open link or the sizes are wrong.
int32_t ForwardFrame(int32_t handle, const uint8_t* request, int32_t requestLength, int32_t expectedLength,
                     uint8_t* response, int32_t* responseLength, Failure& failure);

// Whether a failure with (kind, code) on this link means the link itself is
// gone (the OS reports the port or connection failed, or the TCP peer
// closed), so that it must be opened again.
bool ConnectionLost(int32_t handle, int32_t kind, int32_t code);

}  // namespace ptz
