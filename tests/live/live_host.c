/* A small host of the two libraries for the live tests: plays one file on
 * the default live device (or renders it to a WAV file, as render_bench.py
 * does to time this pacing), pacing itself by ao_bufsize_async as the
 * README says, and prints what it did and saw, one line each:
 *
 *   bits N              the width the device opened with
 *   at T SECOND QUEUED  every 10 ms while waiting: the time, the published
 *                       second, bytes queued
 *   pause T / resume T / volume PERCENT
 *   seek T MS SECOND    a clear and a seek to MS while SECOND was published
 *   end T               the queue has played out
 *   stopped T           ao_stop_async has returned (the device drained)
 *
 * live_host FILE [--bits N] [--volume PERCENT] [--pause AT SECONDS]
 *           [--seek AT MS] [--wav OUT.wav]
 * Times T are CLOCK_MONOTONIC seconds. AT is a published second. Exit 0; 1
 * an unreadable file; 3 no device. */
#define _POSIX_C_SOURCE 200809L

#include <melvor.h>
#include <sandrel.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void nap(void) {
  struct timespec t = {0, 10 * 1000 * 1000};
  nanosleep(&t, NULL);
}

struct plan {
  double pause_at, pause_for; /* -1: none */
  double seek_at;
  long long seek_ms;
  int pausing;
  double resume_at;
};

/* Acts on the plan once the playback thread has reached its second. */
static void follow_plan(ao_handle *out, fmpg_instance *dec, struct plan *plan) {
  const double second = ao_is_at_second_async(out);
  const double t = now(); /* no earlier than the second's publication */
  printf("at %.4f %.4f %d\n", t, second, ao_bufsize_async(out));
  if (plan->pause_at >= 0 && second >= plan->pause_at) {
    ao_pause_async(out, 1);
    printf("pause %.4f\n", t);
    plan->pause_at = -1;
    plan->pausing = 1;
    plan->resume_at = t + plan->pause_for;
  }
  if (plan->pausing && t >= plan->resume_at) {
    ao_pause_async(out, 0);
    printf("resume %.4f\n", t);
    plan->pausing = 0;
  }
  if (plan->seek_at >= 0 && second >= plan->seek_at) {
    ao_clear_async(out);
    fmpg_seek_ms(dec, plan->seek_ms);
    printf("seek %.4f %lld %.4f\n", t, plan->seek_ms, second);
    plan->seek_at = -1;
  }
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: live_host FILE [--bits N] [--volume P] [--pause AT S] [--seek AT MS] "
                    "[--wav OUT]\n");
    return 2;
  }
  int bits = 32;
  double volume = 100;
  const char *wav = NULL;
  struct plan plan = {-1, 0, -1, 0, 0, 0};
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--bits") == 0 && i + 1 < argc) {
      bits = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--volume") == 0 && i + 1 < argc) {
      volume = atof(argv[++i]);
    } else if (strcmp(argv[i], "--pause") == 0 && i + 2 < argc) {
      plan.pause_at = atof(argv[++i]);
      plan.pause_for = atof(argv[++i]);
    } else if (strcmp(argv[i], "--wav") == 0 && i + 1 < argc) {
      wav = argv[++i];
    } else if (strcmp(argv[i], "--seek") == 0 && i + 2 < argc) {
      plan.seek_at = atof(argv[++i]);
      plan.seek_ms = atoll(argv[++i]);
    } else {
      fprintf(stderr, "live_host: bad argument %s\n", argv[i]);
      return 2;
    }
  }

  fmpg_instance *dec = fmpg_init();
  if (dec == NULL || !fmpg_open_file(dec, argv[1])) {
    fmpg_free(dec);
    return 1;
  }
  ao_handle *out = ao_create_async(bits, fmpg_audio_sample_rate(dec), fmpg_audio_channels(dec),
                                   SANDREL_FMT_NATIVE, wav);
  if (out == NULL) {
    fmpg_free(dec);
    return 3;
  }
  printf("bits %d\n", ao_real_output_bits_async(out));
  if (volume != 100) {
    ao_set_volume_async(out, volume);
    printf("volume %g\n", ao_volume_async(out));
  }

  sandrel_format format;
  memset(&format, 0, sizeof format);
  format.bits = fmpg_audio_bits_per_sample(dec);
  const double seconds = fmpg_duration_ms(dec) / 1000.0;
  const int half_second = fmpg_audio_sample_rate(dec) * fmpg_audio_channels(dec) *
                          ao_real_output_bits_async(out) / 8 / 2;
  /* Held paused until a second is queued: a block given to the idle thread
   * may wait 250 ms for its timed take, and a device that starts at once
   * would play silence meanwhile. */
  int starting = 1;
  ao_pause_async(out, 1);
  while (fmpg_decode_next(dec)) {
    ao_play_async(out, 1, fmpg_timecode(dec), seconds, fmpg_buffer_size(dec), fmpg_buffer(dec),
                  format);
    if (starting && ao_bufsize_async(out) < 2 * half_second) continue;
    if (starting) ao_pause_async(out, 0);
    starting = 0;
    while (ao_bufsize_async(out) > half_second || plan.pausing) {
      follow_plan(out, dec, &plan);
      nap();
    }
  }
  /* libao closes a live device by sleeping for the latency it estimates,
   * not by draining it: a tenth of a second of silence is what a late
   * sound server loses then. */
  if (starting) ao_pause_async(out, 0);
  const int tail = fmpg_audio_sample_rate(dec) / 10 * fmpg_audio_channels(dec) * 4;
  void *silence = calloc(1, (size_t)tail);
  if (silence != NULL && wav == NULL) {
    ao_play_async(out, 1, seconds, seconds, tail, silence, format);
  }
  free(silence);
  while (ao_bufsize_async(out) > 0 || plan.pausing) {
    follow_plan(out, dec, &plan);
    nap();
  }
  printf("end %.4f\n", now());
  ao_stop_async(out);
  printf("stopped %.4f\n", now());
  fmpg_free(dec);
  return 0;
}
