#include "platform/lock.h"

namespace ptz::platform {

void LockInit(Lock& lock) { pthread_mutex_init(&lock.mutex, nullptr); }
void LockDestroy(Lock& lock) { pthread_mutex_destroy(&lock.mutex); }
void LockAcquire(Lock& lock) { pthread_mutex_lock(&lock.mutex); }
void LockRelease(Lock& lock) { pthread_mutex_unlock(&lock.mutex); }

}  // namespace ptz::platform
