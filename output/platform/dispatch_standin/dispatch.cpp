// The libdispatch stand-in: see dispatch/dispatch.h. A count guarded by a
// mutex, and a condition variable on CLOCK_MONOTONIC for the waiters.
#include "dispatch/dispatch.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

struct dispatch_semaphore_s {
  pthread_mutex_t lock;
  pthread_cond_t changed;
  long value;    // lock
  long waiters;  // lock
  long initial;
};

namespace {

uint64_t monotonic_now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

struct timespec to_timespec(dispatch_time_t t) {
  struct timespec out;
  out.tv_sec = static_cast<time_t>(t / 1000000000u);
  out.tv_nsec = static_cast<long>(t % 1000000000u);
  return out;
}

}  // namespace

extern "C" {

dispatch_semaphore_t dispatch_semaphore_create(long value) {
  if (value < 0) return nullptr;
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

long dispatch_semaphore_wait(dispatch_semaphore_t s, dispatch_time_t timeout) {
  const struct timespec deadline = to_timespec(timeout);
  pthread_mutex_lock(&s->lock);
  if (timeout != DISPATCH_TIME_NOW) {
    ++s->waiters;
    // A deadline that has passed, or one the clock cannot take, ends it.
    int rc = 0;
    while (s->value == 0 && rc == 0) {
      if (timeout == DISPATCH_TIME_FOREVER)
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

long dispatch_semaphore_signal(dispatch_semaphore_t s) {
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
  if (in_use) {
    fputs("dispatch_release: semaphore released while in use\n", stderr);
    abort();
  }
  pthread_cond_destroy(&s->changed);
  pthread_mutex_destroy(&s->lock);
  free(s);
}

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
  if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
  const uint64_t base = when == DISPATCH_TIME_NOW ? monotonic_now() : when;
  if (delta >= 0) {
    const uint64_t later = static_cast<uint64_t>(delta);
    return later >= DISPATCH_TIME_FOREVER - base ? DISPATCH_TIME_FOREVER : base + later;
  }
  // Before the clock's start is still the past, but never NOW, which would
  // mean "the moment of the wait".
  const uint64_t earlier = static_cast<uint64_t>(-(delta + 1)) + 1;
  return earlier >= base ? 1 : base - earlier;
}

}  // extern "C"
