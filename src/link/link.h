// A link to one head: its transport, its lock and its frame buffers. The
// classic exports work on one fixed link of the process and record failures
// in the process-wide last-error record; the handle exports work on links
// from the handle table and record failures per thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/failure.h"
#include "platform/lock.h"
#include "protocol/transact.h"
#include "ptz.h"

namespace ptz {

constexpr int kBufferSize = kFrameBufferSize;

struct Link {
    Transport transport;
    // Every device command holds it from the clearing of the buffers to its
    // return; it exists while the link is open.
    platform::Lock lock;
    uint8_t request[kBufferSize];
    uint8_t response[kBufferSize];
};

// The classic exports' one link.
extern Link ClassicLink;
// Its state: -1 closed, 0 serial, 1 LAN.
inline std::atomic<int32_t>& LinkState = ClassicLink.transport.state;

// The process-wide last-error record of the classic exports. Read by
// PTZ_GetLastError without a lock from any thread, hence one atomic word.
void SetLastError(int32_t kind, int32_t code);
void GetLastErrorRecord(int32_t* kind, int32_t* code);

// The calling thread's record of the handle exports.
void SetThreadError(int32_t kind, int32_t code);
void GetThreadError(int32_t* kind, int32_t* code);

// Opens a link's transport and creates its lock. Nothing is recorded here:
// each front door records `failure` its own way. PTZ_OK or PTZ_FAILED.
int32_t OpenLan(Link& link, const char* address, int32_t port, Failure& failure);  // dotted IPv4 only
int32_t OpenLanHost(Link& link, const char* host, int32_t port, Failure& failure);  // any host text
int32_t OpenSerial(Link& link, int32_t port, Failure& failure);
int32_t OpenSerialPath(Link& link, const char* device, Failure& failure);
// Releases the transport and the lock; OS failures on the way go to
// `failure`, the link is closed in any case.
void CloseLink(Link& link, Failure& failure);

// Resets the library to its state at load: classic link closed, no port,
// LastError (0, 0), every handle closed. Runs at load; tests use it to
// start from a clean library.
void ResetLibraryState();

}  // namespace ptz
