// The block queue between the host's threads and the playback thread, and
// the locks and semaphores that guard it.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "output.h"

namespace sandrel {

int msleep(int64_t milliseconds) {
  if (milliseconds < 0) return -1;
  struct timespec t;
  t.tv_sec = static_cast<time_t>(milliseconds / 1000);
  t.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  return nanosleep(&t, &t);
}

void yield() { msleep(5); }

bool setup_sync(ao_handle *h) {
  h->stop_elem = new_stop_elem();
  if (!h->stop_elem) return false;
  pthread_mutex_init(&h->queue_lock, nullptr);
  pthread_mutex_init(&h->state_lock, nullptr);
  if (!wait_sem_init(&h->queue_sem, 0)) goto no_queue_sem;
  if (!wait_sem_init(&h->pause_gate, 1)) goto no_pause_gate;
  return true;

no_pause_gate:
  wait_sem_destroy(&h->queue_sem);
no_queue_sem:
  pthread_mutex_destroy(&h->state_lock);
  pthread_mutex_destroy(&h->queue_lock);
  del_elem(h->stop_elem);
  h->stop_elem = nullptr;
  return false;
}

void destroy_sync(ao_handle *h) {
  wait_sem_destroy(&h->queue_sem);
  wait_sem_destroy(&h->pause_gate);
  pthread_mutex_destroy(&h->queue_lock);
  pthread_mutex_destroy(&h->state_lock);
  del_elem(h->stop_elem);
  h->stop_elem = nullptr;
}

queue_elem *new_elem(int kind, int music_id, double at_second, double music_duration, int size,
                     const void *source) {
  queue_elem *e = static_cast<queue_elem *>(malloc(sizeof *e));
  if (!e) {
    fputs("new_elem: Cannot allocate Queue Element!\n", stderr);
    return nullptr;
  }
  char *data = nullptr;
  if (size > 0) {
    data = static_cast<char *>(malloc(static_cast<size_t>(size)));
    if (!data) {
      fprintf(stderr, "new_elem: Cannot allocate memory of size %d\n", size);
      free(e);
      return nullptr;
    }
    memcpy(data, source, static_cast<size_t>(size));
  }
  e->kind = kind;
  e->data = data;
  e->size = size;
  e->at_second = at_second;
  e->music_duration = music_duration;
  e->music_id = music_id;
  e->next = nullptr;
  e->prev = nullptr;
  return e;
}

queue_elem *new_stop_elem() { return new_elem(kStopElement, 0, 0.0, 0.0, 0, nullptr); }

void del_elem(queue_elem *e) {
  if (!e) return;
  free(e->data);
  free(e);
}

bool link_tail(ao_handle *h, queue_elem *e) {
  if (e->size > INT_MAX - h->bufsize) return false;
  e->next = nullptr;
  e->prev = h->last;
  if (h->last)
    h->last->next = e;
  else
    h->first = e;
  h->last = e;
  h->bufsize += e->size;
  wait_sem_post(&h->queue_sem);
  return true;
}

queue_elem *get(ao_handle *h, int timeout_ms) {
  bool taken =
      timeout_ms > 0 ? _SEM_WAIT(&h->queue_sem, timeout_ms) == 1 : wait_sem_trywait(&h->queue_sem);
  if (!taken) return nullptr;
  pthread_mutex_lock(&h->state_lock);
  queue_elem *e = h->first;
  if (e) {
    h->first = e->next;
    if (h->first)
      h->first->prev = nullptr;
    else
      h->last = nullptr;
    h->bufsize -= e->size;
  }
  pthread_mutex_unlock(&h->state_lock);
  return e;
}

int drop_all(ao_handle *h) {
  int count = 0;
  for (queue_elem *e; (e = get(h, 0)) != nullptr; ++count) del_elem(e);
  return count;
}

void clear(ao_handle *h, int stop) {
  pthread_mutex_lock(&h->queue_lock);
  fprintf(stderr, "%d elements cleared\n", drop_all(h));
  if (stop && h->stop_elem) {
    pthread_mutex_lock(&h->state_lock);
    link_tail(h, h->stop_elem);  // carries no bytes: never refused
    pthread_mutex_unlock(&h->state_lock);
    h->stop_elem = nullptr;  // the queue owns it now
  }
  pthread_mutex_unlock(&h->queue_lock);
}

}  // namespace sandrel
