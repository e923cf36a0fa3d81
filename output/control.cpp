// The calls through which the host drives a live handle: blocks, clear,
// pause, volume and the published position.
#include <stdlib.h>

#include "output.h"

using namespace sandrel;

namespace {

// One field under the state lock; a null handle answers as one that has
// not played anything yet.
template <typename T>
T read_state(ao_handle *h, T ao_handle::*field, T when_null) {
  if (!h) return when_null;
  pthread_mutex_lock(&h->state_lock);
  const T value = h->*field;
  pthread_mutex_unlock(&h->state_lock);
  return value;
}

}  // namespace

extern "C" {

SANDREL_API void ao_play_async(ao_handle *h, int music_id, double at_second, double music_duration,
                               int length, const void *data, sandrel_format format) noexcept {
  if (!h || stopped(h, 1)) return;
  // Nothing to convert (no data, a length of 0 or less, less than one
  // sample, no memory) gives no bytes: then a block is queued only where
  // the variant queues one per call.
  int converted_length = 0;
  char *converted = convert_req_to_real(data, length, block_bits(h, format), h->real_bits,
                                        h->byte_format, &converted_length);
  queue_elem *e = converted_length > 0 || queues_empty_blocks()
                      ? new_elem(kAudioBlock, music_id, at_second, music_duration,
                                 converted_length, converted)
                      : nullptr;
  free(converted);
  if (e) add(h, e);
}

SANDREL_API void ao_clear_async(ao_handle *h) noexcept {
  if (!h || stopped(h, 1)) return;
  clear(h, 0);
}

SANDREL_API void ao_pause_async(ao_handle *h, int pause) noexcept {
  if (!h) return;
  pthread_mutex_lock(&h->state_lock);
  if (h->paused && pause == 0) {
    h->paused = 0;
    wait_sem_post(&h->pause_gate);
  } else if (!h->paused && pause != 0) {
    h->paused = pause;
    // The playback thread holds the gate only for a moment, lock-free.
    wait_sem_wait(&h->pause_gate);
  }
  pthread_mutex_unlock(&h->state_lock);
}

SANDREL_API void ao_set_volume_async(ao_handle *h, double percent) noexcept {
  int32_t volume;
  if (!h || !volume_from_percent(percent, &volume)) return;
  pthread_mutex_lock(&h->state_lock);
  h->volume = volume;
  pthread_mutex_unlock(&h->state_lock);
}

SANDREL_API double ao_volume_async(ao_handle *h) noexcept {
  return read_state(h, &ao_handle::volume, int32_t{kUnityVolume}) / 100.0;
}

SANDREL_API double ao_is_at_second_async(ao_handle *h) noexcept {
  return read_state(h, &ao_handle::at_second, kNoSecond);
}

SANDREL_API int ao_is_at_music_id_async(ao_handle *h) noexcept {
  return read_state(h, &ao_handle::music_id, kNoMusicId);
}

SANDREL_API double ao_music_duration_async(ao_handle *h) noexcept {
  return read_state(h, &ao_handle::music_duration, kNoDuration);
}

SANDREL_API int ao_bufsize_async(ao_handle *h) noexcept {
  return read_state(h, &ao_handle::bufsize, int32_t{0});
}

}  // extern "C"
