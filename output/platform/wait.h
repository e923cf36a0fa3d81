// The waiting primitives of the output library: a counting semaphore that
// any thread may post, and a take with a timeout. Everything that differs
// between platforms sits behind this header, with one source file per
// variant beside it: wait_posix.cpp (POSIX semaphores with an absolute
// CLOCK_REALTIME deadline) and wait_dispatch.cpp (libdispatch semaphores
// with a timeout relative to the moment of the call; the macOS variant).
// The build sets SANDREL_WAIT_DISPATCH to 1 for the latter, else to 0.
#ifndef SANDREL_PLATFORM_WAIT_H
#define SANDREL_PLATFORM_WAIT_H

#ifndef SANDREL_WAIT_DISPATCH
#error "SANDREL_WAIT_DISPATCH must be defined to 0 or 1 by the build"
#endif

#if SANDREL_WAIT_DISPATCH
#include <dispatch/dispatch.h>
#else
#include <semaphore.h>
#include <time.h>
#endif

namespace sandrel {

#if SANDREL_WAIT_DISPATCH
typedef dispatch_semaphore_t wait_sem;
#else
typedef sem_t wait_sem;
#endif

// True when the semaphore was set up with `count`.
bool wait_sem_init(wait_sem *s, unsigned count);
// The count must be back at least at its initial value: libdispatch
// treats releasing a semaphore below it as a fault of the caller.
void wait_sem_destroy(wait_sem *s);
void wait_sem_post(wait_sem *s);
// Takes a count, waiting as long as it takes (a signal does not end it).
void wait_sem_wait(wait_sem *s);
// Takes a count only if one is there, without waiting.
bool wait_sem_trywait(wait_sem *s);
// 1 when a count was taken within `milliseconds`, else 0 (deadline,
// signal or error alike; not retried).
int _SEM_WAIT(wait_sem *s, int milliseconds);

#if SANDREL_WAIT_DISPATCH
// `milliseconds` from now, on a clock that system time changes do not move.
dispatch_time_t makeDispatchTimeoutTime(int milliseconds);
#else
// The absolute deadline sem_timedwait expects: now (CLOCK_REALTIME) plus a
// positive number of milliseconds.
void makeSemTimeoutTime(struct timespec *deadline, int milliseconds);
// Adds milliseconds to a normalised time, with one carry into the seconds.
void add_milliseconds(struct timespec *t, int milliseconds);
#endif

}  // namespace sandrel

#endif
