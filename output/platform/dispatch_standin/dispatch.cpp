// The libdispatch stand-in: see dispatch/dispatch.h. A count guarded by a
// mutex, and a condition variable on CLOCK_MONOTONIC for the waiters.
#include "dispatch/dispatch.h"

#include <pthread.h>
#include <stdlib.h>
#include <time.h>

struct dispatch_semaphore_s {
  pthread_mutex_t lock;
  pthread_cond_t changed;
  intptr_t value;    // lock
  intptr_t waiters;  // lock
  intptr_t initial;
};

namespace {

const uint64_t kWallClock = uint64_t{1} << 63;
// Times from here on are too late for their clock: forever.
const uint64_t kTooLate = (uint64_t{1} << 62) - 1;
const uint64_t kEarliestUptime = 1;  // 0 would be DISPATCH_TIME_NOW
const uint64_t kEarliestWall = 2;    // minus 1 would be DISPATCH_TIME_FOREVER

uint64_t clock_ns(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// `value` (below kTooLate) moved by `delta` nanoseconds on its clock.
uint64_t moved(uint64_t value, int64_t delta, uint64_t earliest) {
  if (delta >= 0) {
    const uint64_t later = value + static_cast<uint64_t>(delta);  // below 2^64: no wrap
    return later >= kTooLate ? DISPATCH_TIME_FOREVER : later;
  }
  const uint64_t back = static_cast<uint64_t>(-(delta + 1)) + 1;
  return back >= value || value - back < earliest ? earliest : value - back;
}

// When `t` comes, on CLOCK_MONOTONIC; false for a time that never does.
bool monotonic_deadline(dispatch_time_t t, struct timespec *out) {
  uint64_t ns;
  if (t == DISPATCH_TIME_FOREVER) return false;
  if (t & kWallClock) {
    const uint64_t wall = 0 - t;  // nanoseconds since 1970
    if (wall >= kTooLate) return false;
    const uint64_t now_wall = clock_ns(CLOCK_REALTIME);
    ns = wall > now_wall ? clock_ns(CLOCK_MONOTONIC) + (wall - now_wall) : 0;
  } else {
    if (t >= kTooLate) return false;
    ns = t;
  }
  out->tv_sec = static_cast<time_t>(ns / 1000000000u);
  out->tv_nsec = static_cast<long>(ns % 1000000000u);
  return true;
}

dispatch_semaphore_t try_create(intptr_t value) {
  dispatch_semaphore_t s = static_cast<dispatch_semaphore_t>(malloc(sizeof *s));
  pthread_condattr_t attr;
  if (!s) return nullptr;
  if (pthread_condattr_init(&attr) != 0) goto no_attr;
  if (pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0 ||
      pthread_cond_init(&s->changed, &attr) != 0)
    goto no_cond;
  if (pthread_mutex_init(&s->lock, nullptr) != 0) goto no_mutex;
  pthread_condattr_destroy(&attr);
  s->value = s->initial = value;
  s->waiters = 0;
  return s;

no_mutex:
  pthread_cond_destroy(&s->changed);
no_cond:
  pthread_condattr_destroy(&attr);
no_attr:
  free(s);
  return nullptr;
}

}  // namespace

extern "C" {

dispatch_semaphore_t dispatch_semaphore_create(intptr_t value) {
  if (value < 0) return nullptr;
  // Like libdispatch, never give up for want of memory: wait, try again.
  for (;;) {
    if (dispatch_semaphore_t s = try_create(value)) return s;
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

intptr_t dispatch_semaphore_wait(dispatch_semaphore_t s, dispatch_time_t timeout) {
  struct timespec deadline;
  const bool forever = !monotonic_deadline(timeout, &deadline);
  pthread_mutex_lock(&s->lock);
  if (timeout != DISPATCH_TIME_NOW) {
    ++s->waiters;
    // A deadline that has passed, or one the clock cannot take, ends it.
    int rc = 0;
    while (s->value == 0 && rc == 0) {
      if (forever)
        pthread_cond_wait(&s->changed, &s->lock);
      else
        rc = pthread_cond_timedwait(&s->changed, &s->lock, &deadline);
    }
    --s->waiters;
  }
  const bool taken = s->value > 0;
  if (taken) --s->value;
  pthread_mutex_unlock(&s->lock);
  return taken ? 0 : 1;
}

intptr_t dispatch_semaphore_signal(dispatch_semaphore_t s) {
  pthread_mutex_lock(&s->lock);
  ++s->value;
  const bool woke = s->waiters > 0;
  if (woke) pthread_cond_signal(&s->changed);
  pthread_mutex_unlock(&s->lock);
  return woke ? 1 : 0;
}

void dispatch_release(dispatch_semaphore_t s) {
  if (!s) return;
  pthread_mutex_lock(&s->lock);
  const bool in_use = s->value < s->initial || s->waiters > 0;
  pthread_mutex_unlock(&s->lock);
  // A fault of the caller, which libdispatch does not survive either.
  if (in_use) __builtin_trap();
  pthread_cond_destroy(&s->changed);
  pthread_mutex_destroy(&s->lock);
  free(s);
}

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
  if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
  if (when & kWallClock) {
    const uint64_t wall = 0 - when;
    if (wall >= kTooLate) return DISPATCH_TIME_FOREVER;
    const uint64_t t = moved(wall, delta, kEarliestWall);
    return t == DISPATCH_TIME_FOREVER ? t : 0 - t;
  }
  const uint64_t uptime = when == DISPATCH_TIME_NOW ? clock_ns(CLOCK_MONOTONIC) : when;
  if (uptime >= kTooLate) return DISPATCH_TIME_FOREVER;
  return moved(uptime, delta, kEarliestUptime);
}

}  // extern "C"
