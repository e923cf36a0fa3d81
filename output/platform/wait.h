// The waiting primitives of the output library: a counting semaphore that
// any thread may post, and a take with a timeout. Everything that differs
// between platforms sits behind this header, with one source file per
// variant beside it (wait_posix.cpp: POSIX semaphores with an absolute
// CLOCK_REALTIME deadline).
#ifndef SANDREL_PLATFORM_WAIT_H
#define SANDREL_PLATFORM_WAIT_H

#include <semaphore.h>
#include <time.h>

namespace sandrel {

typedef sem_t wait_sem;

// True when the semaphore was set up with `count`.
bool wait_sem_init(wait_sem *s, unsigned count);
void wait_sem_destroy(wait_sem *s);
void wait_sem_post(wait_sem *s);
// Takes a count, waiting as long as it takes (a signal does not end it).
void wait_sem_wait(wait_sem *s);
// Takes a count only if one is there, without waiting.
bool wait_sem_trywait(wait_sem *s);
// 1 when a count was taken within `milliseconds`, else 0 (deadline,
// signal or error alike; not retried).
int _SEM_WAIT(wait_sem *s, int milliseconds);

// The absolute deadline sem_timedwait expects: now (CLOCK_REALTIME) plus a
// positive number of milliseconds.
void makeSemTimeoutTime(struct timespec *deadline, int milliseconds);
// Adds milliseconds to a normalised time, with one carry into the seconds.
void add_milliseconds(struct timespec *t, int milliseconds);

}  // namespace sandrel

#endif
