// The macOS variant's rules: no stopped state (nothing is refused, a failed
// device write goes unreported and playback goes on); producers take only
// the state lock; blocks have the width the handle was created with, and
// every ao_play_async queues exactly one, an empty one when there is
// nothing to convert; narrowing shifts, rounding toward minus infinity.
#include "output.h"

namespace sandrel {

int interface_version() { return 0x10000; }

int stopped(ao_handle *, int) { return 0; }

int block_bits(const ao_handle *h, const sandrel_format &) { return h->requested_bits; }

bool queues_empty_blocks() { return true; }

// Without the queue lock, the playback thread's timed take on an empty
// queue never holds a producer up; the producer's post ends that take at
// once.
void add(ao_handle *h, queue_elem *e) {
  pthread_mutex_lock(&h->state_lock);
  const bool refused = !link_tail(h, e);
  pthread_mutex_unlock(&h->state_lock);
  if (refused) del_elem(e);
}

// GCC and Clang shift signed values arithmetically: -1 stays -1.
int32_t narrow_sample(int32_t value, int shift) { return value >> shift; }

bool ends_on_failed_write(ao_handle *) { return false; }

void clear_for_stop(ao_handle *h) { clear(h, 0); }

// Behind the opened gate, once the queue is empty.
void queue_stop_after_gate(ao_handle *h) {
  queue_elem *e = h->stop_elem;
  h->stop_elem = nullptr;
  add(h, e);
}

}  // namespace sandrel
