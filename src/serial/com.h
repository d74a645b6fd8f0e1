// The serial port: open, close, timed transfers and the serial exchange,
// written once over the serial seam. Each link has its own SerialPort;
// failures are reported upward in a Failure.
#pragma once

#include <cstdint>

#include "platform/failure.h"
#include "platform/serial_os.h"

namespace ptz {

constexpr uint32_t kQueueSize = 1024;
constexpr int kPortNameSize = 32;  // fits "\\.\COM" and any 32-bit number
constexpr int kSerialBufferSize = 256;

// One link's port: its handle and the serial exchange's own buffers, used
// only by the command that holds the link's lock.
struct SerialPort {
    platform::PortHandle handle = platform::kInvalidPort;
    uint8_t transmitCopy[kSerialBufferSize];
    uint8_t receiveScratch[kSerialBufferSize];
};

// Open the port by number or by device name and set the line up: 38400 8N1,
// no flow control, RTS off, DTR on, both directions purged. 0 or 1002, with
// the OS error in `failure`; a failed open leaves nothing open.
int32_t ComOpen(SerialPort& port, int32_t number, Failure& failure);
int32_t ComOpenDevice(SerialPort& port, const char* device, Failure& failure);
// Releases the port; keeps the last OS failure in `failure`, always 0.
int32_t ComClose(SerialPort& port, Failure& failure);
// Moves exactly byteCount bytes within timeoutMs: 0, 1002 or 1004.
int32_t ComRead(SerialPort& port, uint8_t* bytes, int32_t byteCount, uint32_t timeoutMs, Failure& failure);
int32_t ComWrite(SerialPort& port, const uint8_t* bytes, int32_t byteCount, uint32_t timeoutMs,
                 Failure& failure);
// failure := (PTZ_ERRKIND_OS, the OS error number just left behind).
void RecordOsError(Failure& failure);

// The serial exchange: acknowledgement byte, NAK retries, time-outs. 0 when
// the response frame is in `response`, 1 with the reason in `failure`.
int32_t SerialTransact(SerialPort& port, int32_t requestLength, const uint8_t* request,
                       int32_t expectedLength, uint8_t* response, Failure& failure);

}  // namespace ptz
