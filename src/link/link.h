// Library-wide state: the one link, the last-error record, the frame buffers
// and the library lock. Everything here is process-wide by design: there is
// no handle, every export works on the one link.
#pragma once

#include <atomic>
#include <cstdint>

#include "ptz.h"

namespace ptz {

constexpr int kBufferSize = 256;

// -1 closed, 0 serial, 1 LAN. Read without the lock by the link check, so it
// is atomic; it only changes in open and close.
extern std::atomic<int32_t> LinkState;

// Request and response frame buffers, owned by the command holding the lock.
extern uint8_t RequestBuffer[kBufferSize];
extern uint8_t ResponseBuffer[kBufferSize];

// The last failure recorded below the exports. Read by PTZ_GetLastError
// without the lock from any thread, hence atomic halves.
void SetLastError(int32_t kind, int32_t code);
void GetLastErrorRecord(int32_t* kind, int32_t* code);

// The library lock. Exists while a link is open; every device command holds
// it from the clearing of the buffers to its return.
void LockCreate();
void LockDelete();
void LockEnter();
void LockLeave();

// Resets the library to its state at load: link closed, no port, LastError
// (0, 0). Runs at load; tests use it to start from a clean library.
void ResetLibraryState();

}  // namespace ptz

#include "platform/socket.h"

namespace ptz {
// The connected socket, valid while LinkState is PTZ_LINK_LAN.
extern platform::Socket LanSocket;
}  // namespace ptz
