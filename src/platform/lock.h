// The library lock: a critical section on Windows, a mutex elsewhere.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace ptz::platform {

struct Lock {
#ifdef _WIN32
    CRITICAL_SECTION section;
#else
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
#endif
};

void LockInit(Lock& lock);
void LockDestroy(Lock& lock);
void LockAcquire(Lock& lock);
void LockRelease(Lock& lock);

}  // namespace ptz::platform
