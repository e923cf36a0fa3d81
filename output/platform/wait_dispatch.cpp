// Waiting primitives on libdispatch semaphores (the macOS variant). On
// Apple platforms this is the system's libdispatch; elsewhere an installed
// one (SANDREL_DISPATCH_PREFIX) or the stand-in in dispatch_standin/.
#include <stdint.h>

#include "platform/wait.h"

namespace sandrel {

// libdispatch gives null only for a negative count (short of memory, it
// waits); a null from a libdispatch that does otherwise fails the handle's
// creation like any missing resource instead of crashing later.
bool wait_sem_init(wait_sem *s, unsigned count) {
  *s = dispatch_semaphore_create(static_cast<intptr_t>(count));
  return *s != nullptr;
}

void wait_sem_destroy(wait_sem *s) { dispatch_release(*s); }

void wait_sem_post(wait_sem *s) { dispatch_semaphore_signal(*s); }

// A wait without a deadline is not ended by signals.
void wait_sem_wait(wait_sem *s) { dispatch_semaphore_wait(*s, DISPATCH_TIME_FOREVER); }

bool wait_sem_trywait(wait_sem *s) { return dispatch_semaphore_wait(*s, DISPATCH_TIME_NOW) == 0; }

dispatch_time_t makeDispatchTimeoutTime(int milliseconds) {
  return dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(milliseconds) * 1000000);
}

int _SEM_WAIT(wait_sem *s, int milliseconds) {
  return dispatch_semaphore_wait(*s, makeDispatchTimeoutTime(milliseconds)) == 0 ? 1 : 0;
}

}  // namespace sandrel
