/* naive_render IN OUT.wav: renders a file the way a host paces live
 * playback, keeping about half a second queued by ao_bufsize_async and
 * sleeping 10 ms otherwise; melvor-play rendered so before it held the
 * handle paused for batches. render_bench.py compares the two. */
#define _POSIX_C_SOURCE 200809L

#include <melvor.h>
#include <sandrel.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

static void nap(void) {
  struct timespec t = {0, 10 * 1000 * 1000};
  nanosleep(&t, NULL);
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: naive_render IN OUT.wav\n");
    return 2;
  }
  fmpg_instance *dec = fmpg_init();
  if (dec == NULL || !fmpg_open_file(dec, argv[1])) {
    fmpg_free(dec);
    return 1;
  }
  ao_handle *out = ao_create_async(32, fmpg_audio_sample_rate(dec), fmpg_audio_channels(dec),
                                   SANDREL_FMT_NATIVE, argv[2]);
  if (out == NULL) {
    fmpg_free(dec);
    return 3;
  }
  sandrel_format format;
  memset(&format, 0, sizeof format);
  format.bits = fmpg_audio_bits_per_sample(dec);
  const double seconds = fmpg_duration_ms(dec) / 1000.0;
  const int half_second = fmpg_audio_sample_rate(dec) * fmpg_audio_channels(dec) *
                          ao_real_output_bits_async(out) / 8 / 2;
  while (fmpg_decode_next(dec)) {
    while (ao_bufsize_async(out) >= half_second) nap();
    ao_play_async(out, 1, fmpg_timecode(dec), seconds, fmpg_buffer_size(dec), fmpg_buffer(dec),
                  format);
  }
  while (ao_bufsize_async(out) > 0) nap();
  ao_stop_async(out);
  fmpg_free(dec);
  return 0;
}
