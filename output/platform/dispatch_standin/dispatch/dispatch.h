/*
 * The few libdispatch calls the macOS variant of libsandrel makes, for
 * building and testing that variant where there is no libdispatch. Apple
 * builds use the system's own and never see this header.
 *
 * A semaphore counts; a wait takes one count, waiting until one comes or
 * its timeout passes. Times are nanoseconds of CLOCK_MONOTONIC, so changes
 * of the system time move no deadline.
 *
 * Nothing here is exported from libsandrel.
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

/* A semaphore holding `value` counts; null when `value` is negative or
 * memory is short. */
dispatch_semaphore_t dispatch_semaphore_create(long value);
/* 0 when a count was taken before `timeout`, nonzero when none came. */
long dispatch_semaphore_wait(dispatch_semaphore_t semaphore, dispatch_time_t timeout);
/* Adds a count; nonzero when that woke a waiting thread. */
long dispatch_semaphore_signal(dispatch_semaphore_t semaphore);
/* Frees the semaphore. Like libdispatch, it ends the process when the
 * count is below the one it was created with, or a thread still waits:
 * the semaphore is still in use. */
void dispatch_release(dispatch_semaphore_t semaphore);

/* `delta` nanoseconds after `when` (DISPATCH_TIME_NOW: after now);
 * DISPATCH_TIME_FOREVER when that is too late to represent, or `when` is
 * DISPATCH_TIME_FOREVER. */
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

#ifdef __cplusplus
}
#endif

#endif
