#pragma once

// A lock and a wake-up for the threads that share the stages' work, built on
// what each system offers that never allocates, fails or needs releasing: a
// pthread mutex and condition variable with their static initialisers on
// POSIX systems, an SRWLOCK and a CONDITION_VARIABLE on Windows. They are
// meant to live as long as the process, in process-wide or never-destroyed
// objects, so that nothing is made or freed per pass; none of these calls
// can throw or report a failure.

#ifdef _WIN32
// SRWLOCK and CONDITION_VARIABLE are one pointer each, zero when unused; the
// implementation works on these in their place, so that windows.h stays out
// of the header.
struct PlatformLock {
  void* system = nullptr;
};
struct PlatformWake {
  void* system = nullptr;
};
#else
#include <pthread.h>
struct PlatformLock {
  pthread_mutex_t system = PTHREAD_MUTEX_INITIALIZER;
};
struct PlatformWake {
  pthread_cond_t system = PTHREAD_COND_INITIALIZER;
};
#endif

void platformLock(PlatformLock* lock);
void platformUnlock(PlatformLock* lock);
// Lets the lock go, waits until woken (or, as the systems allow, for no
// reason), and takes the lock again before returning: callers wait in a loop
// on their condition.
void platformWait(PlatformWake* wake, PlatformLock* lock);
void platformWakeOne(PlatformWake* wake);
void platformWakeAll(PlatformWake* wake);

// Holds a lock for its scope; platformWait may let it go and take it again
// meanwhile.
struct PlatformLockHeld {
  PlatformLock* lock;
  explicit PlatformLockHeld(PlatformLock* held) : lock(held) { platformLock(held); }
  ~PlatformLockHeld() { platformUnlock(lock); }
  PlatformLockHeld(const PlatformLockHeld&) = delete;
  PlatformLockHeld& operator=(const PlatformLockHeld&) = delete;
};

// Waits, the lock held, until done() is true.
template <typename Condition>
void platformWaitUntil(PlatformWake* wake, PlatformLock* lock, Condition done) {
  while (!done()) platformWait(wake, lock);
}
