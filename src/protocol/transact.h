// The exchange engine: trades the request frame for a response frame over
// whichever link is open.
#pragma once

#include <cstdint>

namespace ptz {

// 0 when a response has been placed in `response`, 1 on failure (LastError set).
int32_t Transact(int32_t requestLength, const uint8_t* request, int32_t expectedLength,
                 uint8_t* response);

// The TCP exchange: discard stale bytes, send the whole request, then read
// until L + 1 bytes have arrived, the peer has closed, or 5000 ms have passed.
int32_t LanTransact(int32_t requestLength, const uint8_t* request, int32_t expectedLength,
                    uint8_t* response);

// The serial exchange: acknowledgement byte, NAK retries, time-outs.
int32_t SerialTransact(int32_t requestLength, const uint8_t* request, int32_t expectedLength,
                       uint8_t* response);

}  // namespace ptz
