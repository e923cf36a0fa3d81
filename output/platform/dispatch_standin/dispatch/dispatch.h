/*
 * The few libdispatch calls the macOS variant of libsandrel makes, for
 * building and testing that variant where there is no libdispatch. Apple
 * builds use the system's own and never see this header.
 *
 * Built into libsandrel by default, where nothing of it is exported; or on
 * its own as a libdispatch.so (CMakeLists.txt here) that stands where an
 * installed libdispatch would.
 *
 * It behaves as libdispatch does wherever the variant depends on it:
 * - A semaphore counts; a wait takes one count, waiting until one comes or
 *   its timeout passes.
 * - dispatch_semaphore_create gives null only for a negative count; when
 *   memory is short it waits and tries again.
 * - Releasing a semaphore still in use (its count below the one it was
 *   created with, or a thread waiting on it) traps: the process ends on
 *   SIGILL, without a message.
 * - Times below 2^62 - 1 are nanoseconds of CLOCK_MONOTONIC; values with
 *   the top bit set are wall-clock times, minus the nanoseconds since 1970.
 *   dispatch_time saturates: a time too late for its clock is
 *   DISPATCH_TIME_FOREVER, one before the clock's start the earliest time
 *   of that clock, never DISPATCH_TIME_NOW.
 */
#ifndef SANDREL_DISPATCH_STANDIN_H
#define SANDREL_DISPATCH_STANDIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t dispatch_time_t;
/* As a timeout: do not wait. As the base of dispatch_time: the moment of
 * the call. */
#define DISPATCH_TIME_NOW (0ull)
/* As a timeout: wait until a count comes. */
#define DISPATCH_TIME_FOREVER (~0ull)

typedef struct dispatch_semaphore_s *dispatch_semaphore_t;

/* A semaphore holding `value` counts; null when `value` is negative. */
dispatch_semaphore_t dispatch_semaphore_create(intptr_t value);
/* 0 when a count was taken before `timeout`, nonzero when none came. */
intptr_t dispatch_semaphore_wait(dispatch_semaphore_t dsema, dispatch_time_t timeout);
/* Adds a count; nonzero when that woke a waiting thread. */
intptr_t dispatch_semaphore_signal(dispatch_semaphore_t dsema);
/* Frees the semaphore; traps when it is still in use. */
void dispatch_release(dispatch_semaphore_t object);

/* `delta` nanoseconds after `when` (DISPATCH_TIME_NOW: after now). */
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

#ifdef __cplusplus
}
#endif

#endif
