// POSIX locks: a default pthread mutex fails only when misused (locked twice
// by one thread, or unlocked by another), which the callers never do, and
// neither it nor a condition variable made with the static initialiser
// allocates.

#include "platform/locks.h"

void platformLock(PlatformLock* lock) { pthread_mutex_lock(&lock->system); }
void platformUnlock(PlatformLock* lock) { pthread_mutex_unlock(&lock->system); }
void platformWait(PlatformWake* wake, PlatformLock* lock) { pthread_cond_wait(&wake->system, &lock->system); }
void platformWakeOne(PlatformWake* wake) { pthread_cond_signal(&wake->system); }
void platformWakeAll(PlatformWake* wake) { pthread_cond_broadcast(&wake->system); }
