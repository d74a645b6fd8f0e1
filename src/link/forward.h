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

// Whether the last exchange on this TCP link ended before the head's whole
// answer had arrived while the connection stayed up (a time-out, a partial
// answer, bytes that answer something else): the rest of that answer may
// still arrive and be taken for the next one, so a gateway opens the link
// again before its next exchange. Always false for a serial link (its input
// is purged before every request).
bool AnswerMayFollow(int32_t handle);

// Cuts short an exchange that waits on this TCP link from another thread
// (it ends as if the head had closed the connection); for a gateway that
// stops. Does nothing for a serial link or a handle that names no open link.
void InterruptExchange(int32_t handle);

}  // namespace ptz
