#include "link/link.h"

#include "platform/lock.h"
#include "serial/com.h"

namespace ptz {

std::atomic<int32_t> LinkState{PTZ_LINK_CLOSED};
uint8_t RequestBuffer[kBufferSize];
uint8_t ResponseBuffer[kBufferSize];

namespace {
// Kind in the high half, code in the low half: one atomic word, so a reader
// on another thread never sees the kind of one failure with the code of another.
std::atomic<uint64_t> lastError{0};
platform::Lock libraryLock;
}  // namespace

void SetLastError(int32_t kind, int32_t code) {
    lastError.store((uint64_t{static_cast<uint32_t>(kind)} << 32) | static_cast<uint32_t>(code),
                    std::memory_order_relaxed);
}

void GetLastErrorRecord(int32_t* kind, int32_t* code) {
    const uint64_t record = lastError.load(std::memory_order_relaxed);
    *kind = static_cast<int32_t>(static_cast<uint32_t>(record >> 32));
    *code = static_cast<int32_t>(static_cast<uint32_t>(record));
}

void LockCreate() { platform::LockInit(libraryLock); }
void LockDelete() { platform::LockDestroy(libraryLock); }
void LockEnter() { platform::LockAcquire(libraryLock); }
void LockLeave() { platform::LockRelease(libraryLock); }

void ResetLibraryState() {
    LinkState.store(PTZ_LINK_CLOSED);
    ResetComHandle();
    SetLastError(0, 0);
}

}  // namespace ptz
