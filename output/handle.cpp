// The output handle: libao set-up, device opening, the playback thread and
// the stop sequence.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "output.h"

namespace sandrel {

namespace {

pthread_once_t ao_once = PTHREAD_ONCE_INIT;

void initialize_once() {
  ao_initialize();
  atexit(at_exit_shutdown_ao);
}

}  // namespace

// pthread_once makes concurrent first calls wait for the one set-up.
void init_ao() { pthread_once(&ao_once, initialize_once); }

void at_exit_shutdown_ao() { ao_shutdown(); }

ao_device *try_open_device(int bits, int rate, int channels, int byte_format, const char *filename,
                           int *opened_bits) {
  int widths[3];
  int count = 0;
  widths[count++] = bits;
  if (bits > 24) widths[count++] = 24;
  if (bits > 16) widths[count++] = 16;
  for (int i = 0; i < count; ++i) {
    ao_sample_format format;
    memset(&format, 0, sizeof format);
    format.bits = widths[i];
    format.rate = rate;
    format.channels = channels;
    format.byte_format = byte_format;
    format.matrix = nullptr;
    ao_device *device = filename ? ao_open_file(ao_driver_id("wav"), filename, 1, &format, nullptr)
                                 : ao_open_live(ao_default_driver_id(), &format, nullptr);
    if (device) {
      *opened_bits = widths[i];
      return device;
    }
  }
  return nullptr;
}

void *run(void *handle) {
  ao_handle *h = static_cast<ao_handle *>(handle);
  for (bool more = true; more;) {
    wait_sem_wait(&h->pause_gate);
    wait_sem_post(&h->pause_gate);

    pthread_mutex_lock(&h->queue_lock);
    queue_elem *e = get(h, kTakeTimeoutMs);
    pthread_mutex_unlock(&h->queue_lock);
    if (!e) {
      yield();
      continue;
    }

    pthread_mutex_lock(&h->state_lock);
    h->at_second = e->at_second;
    h->music_duration = e->music_duration;
    h->music_id = e->music_id;
    const int32_t volume = h->volume;
    pthread_mutex_unlock(&h->state_lock);

    if (e->kind != kAudioBlock) {
      more = false;
    } else {
      if (volume != kUnityVolume)
        adjustVolume(e->data, e->size, volume, h->real_bits, h->byte_format);
      const bool written = ao_play(h->device, e->data, static_cast<uint_32>(e->size)) != 0;
      if (!written && ends_on_failed_write(h)) more = false;
    }
    del_elem(e);
  }
  return nullptr;
}

}  // namespace sandrel

using namespace sandrel;

extern "C" {

SANDREL_API int ao_async_version(void) noexcept { return interface_version(); }

SANDREL_API ao_handle *ao_create_async(int bits, int rate, int channels, int byte_format,
                                       const char *filename) noexcept {
  if (!supported_width(bits)) {
    fprintf(stderr,
            "Cannot open ao-device for %d bits per sample, only 8, 16, 24 and 32 are supported\n",
            bits);
    return nullptr;
  }
  ao_handle *h = nullptr;
  ao_device *device = nullptr;
  int opened_bits = 0;
  int rc;

  init_ao();
  h = static_cast<ao_handle *>(malloc(sizeof *h));
  if (!h) {
    fputs("Cannot allocate ao_handle!\n", stderr);
    goto fail;
  }
  device = try_open_device(bits, rate, channels, byte_format, filename, &opened_bits);
  if (!device) {
    fprintf(stderr, "Cannot open ao-device, error code = %d\n", errno);
    goto fail;
  }
  h->device = device;
  h->requested_bits = bits;
  h->real_bits = opened_bits;
  h->channels = channels;
  h->rate = rate;
  h->byte_format = byte_format;
  h->volume = kUnityVolume;
  h->first = h->last = nullptr;
  h->at_second = kNoSecond;
  h->music_id = kNoMusicId;
  h->music_duration = kNoDuration;
  h->bufsize = 0;
  h->paused = 0;
  h->stopped_flag = 0;
  if (!setup_sync(h)) {
    fputs("Cannot create the locks, semaphores and stop element of ao_handle\n", stderr);
    goto fail;
  }
  rc = pthread_create(&h->thread, nullptr, run, h);
  if (rc != 0) {
    fprintf(stderr, "Cannot start the playback thread, error code = %d\n", rc);
    destroy_sync(h);
    goto fail;
  }
  return h;

fail:
  if (device) ao_close(device);
  free(h);
  return nullptr;
}

SANDREL_API void ao_stop_async(ao_handle *h) noexcept {
  if (!h) return;
  fputs("stopping ao_async, calling clear\n", stderr);
  clear_for_stop(h);
  fputs("queue cleared\n", stderr);
  pthread_mutex_lock(&h->state_lock);
  if (h->paused) wait_sem_post(&h->pause_gate);
  pthread_mutex_unlock(&h->state_lock);
  queue_stop_after_gate(h);
  fputs("stop command queued\n", stderr);
  pthread_join(h->thread, nullptr);
  // A thread that ended on a failed write never took the stop element.
  drop_all(h);
  destroy_sync(h);
  ao_close(h->device);
  fputs("device closed\n", stderr);
  free(h);
  fputs("async handle freed\n", stderr);
}

SANDREL_API int ao_real_output_bits_async(ao_handle *h) noexcept { return h ? h->real_bits : 0; }

}  // extern "C"
