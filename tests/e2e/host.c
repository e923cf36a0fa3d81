/* The smallest host of the two libraries: decodes a file and renders it to
 * a WAV file through the output library. Built against an installed prefix
 * by install_test.sh with pkg-config only. */
#define _POSIX_C_SOURCE 200809L

#include <melvor.h>
#include <sandrel.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: host IN OUT.wav\n");
    return 2;
  }
  fmpg_instance *dec = fmpg_init();
  if (dec == NULL || !fmpg_open_file(dec, argv[1])) return 1;
  ao_handle *out = ao_create_async(32, fmpg_audio_sample_rate(dec), fmpg_audio_channels(dec),
                                   SANDREL_FMT_NATIVE, argv[2]);
  if (out == NULL) return 1;

  sandrel_format format;
  memset(&format, 0, sizeof format);
  format.bits = fmpg_audio_bits_per_sample(dec);
  const double duration = fmpg_duration_ms(dec) / 1000.0;
  long long samples = 0;
  while (fmpg_decode_next(dec)) {
    ao_play_async(out, 1, fmpg_timecode(dec), duration, fmpg_buffer_size(dec), fmpg_buffer(dec),
                  format);
    samples += fmpg_buffer_samples(dec);
  }
  /* Let the queue play out, then stop. */
  while (ao_bufsize_async(out) > 0) {
    struct timespec t = {0, 10 * 1000 * 1000};
    nanosleep(&t, NULL);
  }
  ao_stop_async(out);
  fmpg_free(dec);
  printf("%lld samples\n", samples);
  return 0;
}
