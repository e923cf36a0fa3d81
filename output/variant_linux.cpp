// The Linux variant's rules: a handle stops for good after a failed device
// write or once ao_stop_async begins, and then refuses blocks and clears;
// producers queue under the queue lock; blocks have the width their format
// record names; narrowing truncates toward zero.
#include <stdio.h>

#include "output.h"

namespace sandrel {

int interface_version() { return 0x10001; }

int stopped(ao_handle *h, int lock) {
  if (!lock) return h->stopped_flag;
  pthread_mutex_lock(&h->state_lock);
  const int value = h->stopped_flag;
  pthread_mutex_unlock(&h->state_lock);
  return value;
}

int block_bits(const ao_handle *, const sandrel_format &format) { return format.bits; }

bool queues_empty_blocks() { return false; }

// The queue lock keeps a producer out while the playback thread waits on
// an empty queue, so an idle handle may hold it up for that wait.
void add(ao_handle *h, queue_elem *e) {
  pthread_mutex_lock(&h->queue_lock);
  pthread_mutex_lock(&h->state_lock);
  const bool refused = h->stopped_flag || !link_tail(h, e);
  pthread_mutex_unlock(&h->state_lock);
  pthread_mutex_unlock(&h->queue_lock);
  if (refused) del_elem(e);
}

int32_t narrow_sample(int32_t value, int shift) { return value / (INT32_C(1) << shift); }

bool ends_on_failed_write(ao_handle *h) {
  fputs("Unexpected, ao_play returns 0 --> ao device must be closed\n", stderr);
  fputs("Stopping play loop\n", stderr);
  pthread_mutex_lock(&h->state_lock);
  h->stopped_flag = 1;
  pthread_mutex_unlock(&h->state_lock);
  return true;
}

// Stopped first, so that no producer's block can follow the stop element.
void clear_for_stop(ao_handle *h) {
  pthread_mutex_lock(&h->state_lock);
  h->stopped_flag = 1;
  pthread_mutex_unlock(&h->state_lock);
  clear(h, 1);
}

void queue_stop_after_gate(ao_handle *) {}

}  // namespace sandrel
