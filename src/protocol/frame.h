// Request and response frames.
//
// Request:  STX 0x80 0x00 code N data[N] ETX BCC          (N + 7 bytes)
// Response: STX '@'  res  code status len data ETX BCC    (L + 1 bytes)
// BCC is the XOR of every byte before it, STX and ETX included.
#pragma once

#include <cstdint>

#include "platform/failure.h"

namespace ptz {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kRequestMark = 0x80;
constexpr uint8_t kResponseMark = 0x40;
constexpr int kRequestOverhead = 7;   // header 5 + ETX + BCC
constexpr int kResponseDataIndex = 6; // first data byte of a response
constexpr int kRequestDataIndex = 5;  // first data byte of a request
constexpr int kMaxRequestData = 249;  // N + 7 <= 256
constexpr int kMaxExpectedLength = 255;
constexpr int kFrameBufferSize = 256;

// XOR of bytes[0] .. bytes[count - 1]; 0 for a count of zero or less.
uint8_t CalcBcc(int32_t count, const uint8_t* bytes);

// Writes the frame header, ETX and BCC around `dataLength` data bytes that
// already stand at frame[5 ..]. Returns the request length, dataLength + 7.
int32_t FinishRequest(uint8_t* frame, uint8_t command, int32_t dataLength);

// Judges a response frame for `command` (low 8 bits) with expected length
// L. 0 when accepted; otherwise reports (PTZ_ERRKIND_RESPONSE, code) in
// `failure` and returns 1. Tests, in order: mark, command echo, status, BCC
// at byte L.
int32_t CheckResponse(const uint8_t* response, int32_t command, int32_t expectedLength, Failure& failure);

// 32-bit values on the wire: four bytes, most significant first.
inline void Put32(uint8_t* at, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    at[0] = static_cast<uint8_t>(v >> 24);
    at[1] = static_cast<uint8_t>(v >> 16);
    at[2] = static_cast<uint8_t>(v >> 8);
    at[3] = static_cast<uint8_t>(v);
}

inline int32_t Get32(const uint8_t* at) {
    return static_cast<int32_t>((uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) |
                                (uint32_t{at[2]} << 8) | uint32_t{at[3]});
}

// The low 8 bits of a caller's argument: what a one-byte request field carries.
inline uint8_t Low8(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }

}  // namespace ptz
