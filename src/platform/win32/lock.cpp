#include "platform/lock.h"

namespace ptz::platform {

void LockInit(Lock& lock) { InitializeCriticalSection(&lock.section); }
void LockDestroy(Lock& lock) { DeleteCriticalSection(&lock.section); }
void LockAcquire(Lock& lock) { EnterCriticalSection(&lock.section); }
void LockRelease(Lock& lock) { LeaveCriticalSection(&lock.section); }

}  // namespace ptz::platform
