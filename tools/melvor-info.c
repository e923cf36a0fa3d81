/* melvor-info FILE...: a file's stream facts and tags, read through the
 * decoder's C API only. */
#include <melvor.h>

#include <inttypes.h>
#include <stdio.h>

static void print_tag(const char *name, const char *value) {
  if (value[0] != '\0') printf("  %-10s %s\n", name, value);
}

static void print_number(const char *name, int value) {
  if (value >= 0) printf("  %-10s %d\n", name, value);
}

static int show(fmpg_instance *h, const char *path) {
  if (!fmpg_open_file(h, path)) {
    fprintf(stderr, "\nmelvor-info: cannot open %s as audio\n", path);
    return 0;
  }
  /* The decoder's open trace has no line end. */
  fputc('\n', stderr);
  printf("%s\n", path);
  printf("  %-10s %d\n", "streams", fmpg_audio_stream_count(h));
  printf("  %-10s %d Hz\n", "rate", fmpg_audio_sample_rate(h));
  printf("  %-10s %d\n", "channels", fmpg_audio_channels(h));
  printf("  %-10s %" PRId64 " ms\n", "duration", fmpg_duration_ms(h));
  printf("  %-10s %" PRId64 "\n", "samples", fmpg_duration_samples(h));
  if (fmpg_file_bitrate(h) > 0) {
    printf("  %-10s %d bit/s\n", "bit rate", fmpg_file_bitrate(h));
  } else {
    printf("  %-10s unknown\n", "bit rate");
  }
  print_tag("title", fmpg_file_title(h));
  print_tag("artist", fmpg_file_author(h));
  print_tag("album", fmpg_file_album(h));
  print_tag("genre", fmpg_file_genre(h));
  print_tag("comment", fmpg_file_comment(h));
  print_tag("copyright", fmpg_file_copyright(h));
  print_number("year", fmpg_file_year(h));
  print_number("track", fmpg_file_track(h));
  fmpg_close(h);
  return 1;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: melvor-info FILE...\n");
    return 2;
  }
  fmpg_instance *h = fmpg_init();
  if (h == NULL) return 1;
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    if (!show(h, argv[i])) failed = 1;
  }
  fmpg_free(h);
  return failed;
}
