// The serial port: open, close and timed transfers, written once over the
// serial seam.
#pragma once

#include <cstdint>

#include "platform/serial_os.h"

namespace ptz {

constexpr uint32_t kQueueSize = 1024;
constexpr int kPortNameSize = 32;  // fits "\\.\COM" and any 32-bit number

extern platform::PortHandle ComHandle;
// Buffers of the serial exchange, used only under the library lock.
extern uint8_t SerialTransmitCopy[256];
extern uint8_t SerialReceiveScratch[256];

void ResetComHandle();

// Open the port by number or by device name and set the line up: 38400 8N1,
// no flow control, RTS off, DTR on, both directions purged. 0 or 1002.
int32_t ComOpen(int32_t port);
int32_t ComOpenDevice(const char* device);
// Releases the port; records any OS failure, always 0.
int32_t ComClose();
// Moves exactly byteCount bytes within timeoutMs: 0, 1002 or 1004.
int32_t ComRead(uint8_t* bytes, int32_t byteCount, uint32_t timeoutMs);
int32_t ComWrite(const uint8_t* bytes, int32_t byteCount, uint32_t timeoutMs);
// LastError := (PTZ_ERRKIND_OS, the OS error number just left behind).
void RecordOsError();

}  // namespace ptz
