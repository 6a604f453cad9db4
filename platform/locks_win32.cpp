// Windows locks: slim reader/writer locks and condition variables, which
// need no initialising beyond zero, allocate nothing, cannot fail to be
// taken and have nothing to free. (The toolchain's std::mutex and
// std::condition_variable allocate an object on first use, and an event
// when contended, and throw when that fails.)

#include "platform/locks.h"

#include <windows.h>

static_assert(sizeof(SRWLOCK) == sizeof(PlatformLock), "an SRWLOCK in the lock's place");
static_assert(sizeof(CONDITION_VARIABLE) == sizeof(PlatformWake), "a CONDITION_VARIABLE in the wake's place");

namespace {

SRWLOCK* systemLock(PlatformLock* lock) { return reinterpret_cast<SRWLOCK*>(&lock->system); }
CONDITION_VARIABLE* systemWake(PlatformWake* wake) { return reinterpret_cast<CONDITION_VARIABLE*>(&wake->system); }

}  // namespace

void platformLock(PlatformLock* lock) { AcquireSRWLockExclusive(systemLock(lock)); }
void platformUnlock(PlatformLock* lock) { ReleaseSRWLockExclusive(systemLock(lock)); }
// Without a time limit the wait returns only once woken.
void platformWait(PlatformWake* wake, PlatformLock* lock) {
  SleepConditionVariableSRW(systemWake(wake), systemLock(lock), INFINITE, 0);
}
void platformWakeOne(PlatformWake* wake) { WakeConditionVariable(systemWake(wake)); }
void platformWakeAll(PlatformWake* wake) { WakeAllConditionVariable(systemWake(wake)); }
