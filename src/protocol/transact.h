// The exchange engine: trades the request frame for a response frame over
// whichever transport a link has open.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/failure.h"
#include "platform/socket.h"
#include "protocol/frame.h"
#include "ptz.h"
#include "serial/com.h"

namespace ptz {

// What one link talks through: a TCP connection or a serial port.
struct Transport {
    // PTZ_LINK_CLOSED, PTZ_LINK_SERIAL or PTZ_LINK_LAN. Read without the
    // link's lock by the link check, so it is atomic; only open and close
    // change it.
    std::atomic<int32_t> state{PTZ_LINK_CLOSED};
    platform::Socket socket = platform::kInvalidSocket;
    SerialPort serial;
    uint8_t discard[kFrameBufferSize];  // stale bytes thrown away before a send
    // What the last exchange brought: response bytes received (L + 1 over
    // the serial line), and whether a TCP peer closed the connection.
    int32_t received = 0;
    bool peerClosed = false;
    // Whether the last TCP exchange ended with the connection up but before
    // the head's whole answer had arrived (a time-out, with part of it or
    // none, or bytes that were not its answer): the rest may still come and
    // would be read by the next exchange on this connection.
    bool answerMayFollow = false;
};

// 0 when a response has been placed in `response`, 1 on failure (why in `failure`).
int32_t Transact(Transport& transport, int32_t requestLength, const uint8_t* request,
                 int32_t expectedLength, uint8_t* response, Failure& failure);

// The TCP exchange: discard stale bytes, send the whole request, then read
// until L + 1 bytes have arrived, the verdict is fixed, the peer has closed,
// or 5000 ms have passed.
int32_t LanTransact(Transport& transport, int32_t requestLength, const uint8_t* request,
                    int32_t expectedLength, uint8_t* response, Failure& failure);

}  // namespace ptz
