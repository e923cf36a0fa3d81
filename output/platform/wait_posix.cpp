// Waiting primitives on POSIX unnamed semaphores (the Linux variant).
#include <errno.h>
#include <stdint.h>

#include "platform/wait.h"

namespace sandrel {

bool wait_sem_init(wait_sem *s, unsigned count) { return sem_init(s, 0, count) == 0; }

void wait_sem_destroy(wait_sem *s) { sem_destroy(s); }

void wait_sem_post(wait_sem *s) { sem_post(s); }

void wait_sem_wait(wait_sem *s) {
  // Returning on EINTR without the count would let the caller post one it
  // never took, opening the pause gate for good.
  while (sem_wait(s) != 0 && errno == EINTR) {
  }
}

bool wait_sem_trywait(wait_sem *s) { return sem_trywait(s) == 0; }

void add_milliseconds(struct timespec *t, int milliseconds) {
  t->tv_sec += milliseconds / 1000;
  t->tv_nsec += static_cast<int64_t>(milliseconds % 1000) * 1000000;
  if (t->tv_nsec > 999999999) {
    t->tv_sec += 1;
    t->tv_nsec -= 1000000000;
  }
}

void makeSemTimeoutTime(struct timespec *deadline, int milliseconds) {
  clock_gettime(CLOCK_REALTIME, deadline);
  add_milliseconds(deadline, milliseconds);
}

int _SEM_WAIT(wait_sem *s, int milliseconds) {
  struct timespec deadline;
  makeSemTimeoutTime(&deadline, milliseconds);
  return sem_timedwait(s, &deadline) == 0 ? 1 : 0;
}

}  // namespace sandrel
