#include "decoder_harness.h"

#include <melvor.h>

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace melvor_fuzz {

namespace {

[[noreturn]] void violated(const char *what, int64_t a, int64_t b) {
  std::fprintf(stderr, "\ninvariant broken: %s (%lld, %lld)\n", what, static_cast<long long>(a),
               static_cast<long long>(b));
  std::abort();
}

void check(bool ok, const char *what, int64_t a = 0, int64_t b = 0) {
  if (!ok) violated(what, a, b);
}

// The texts must be readable, NUL-terminated strings.
size_t touch_text(const char *text) {
  check(text != nullptr, "tag text is null");
  return std::strlen(text);
}

void read_facts(fmpg_instance *h) {
  volatile size_t sink = 0;
  sink += touch_text(fmpg_file_title(h)) + touch_text(fmpg_file_author(h));
  sink += touch_text(fmpg_file_album(h)) + touch_text(fmpg_file_genre(h));
  sink += touch_text(fmpg_file_comment(h)) + touch_text(fmpg_file_copyright(h));
  sink += static_cast<size_t>(fmpg_file_year(h) + fmpg_file_track(h) + fmpg_file_bitrate(h));
  check(fmpg_audio_stream_count(h) >= 1, "open file without audio streams");
  check(fmpg_audio_sample_rate(h) > 0, "rate not positive", fmpg_audio_sample_rate(h));
  check(fmpg_audio_channels(h) > 0, "channels not positive", fmpg_audio_channels(h));
  const int64_t ms = fmpg_duration_ms(h);
  const int64_t samples = fmpg_duration_samples(h);
  check((ms < 0) == (samples < 0), "only one duration known", ms, samples);
  check(ms >= -1 && samples >= -1, "duration below -1", ms, samples);
  (void)sink;
}

// Checks the block that the last decoding call left; true when it holds samples.
bool check_block(fmpg_instance *h, int result) {
  const int channels = fmpg_audio_channels(h);
  const int rate = fmpg_audio_sample_rate(h);
  const int64_t bytes = fmpg_buffer_size(h);
  const int64_t samples = fmpg_buffer_samples(h);
  const int64_t start = fmpg_buffer_start_sample(h);
  const uint8_t *buffer = fmpg_buffer(h);

  check(bytes >= 0 && bytes <= INT_MAX, "block size out of range", bytes);
  check(samples >= 0, "negative sample count", samples);
  check(bytes == samples * channels * 4, "bytes != samples x channels x 4", bytes, samples);
  check((buffer == nullptr) == (bytes == 0), "buffer null exactly when empty", bytes);
  check(fmpg_buffer_end_sample(h) == start + samples, "end != start + samples", start, samples);
  if (result == 1) {
    check(samples > 0, "1 with an empty block");
    check(fmpg_timecode(h) == static_cast<double>(start) / rate, "timecode != start / rate",
          start, rate);
    // Every byte must be readable.
    volatile uint8_t sink = buffer[0] ^ buffer[bytes - 1];
    (void)sink;
  } else {
    check(result == 0, "result neither 0 nor 1", result);
  }
  return samples > 0;
}

// A 0 is the end or a failure that a later call may go past, as a host
// cannot tell them apart: decoding stops at the third 0 in a row.
void decode_some(fmpg_instance *h, int max_blocks, int64_t *budget) {
  int zeros = 0;
  for (int i = 0; i < max_blocks && *budget > 0 && zeros < 3; ++i) {
    const int r = fmpg_decode_next(h);
    check_block(h, r);
    zeros = r == 0 ? zeros + 1 : 0;
    *budget -= fmpg_buffer_samples(h);
  }
}

void seek_and_check(fmpg_instance *h, int64_t ms) {
  if (fmpg_seek_ms(h, ms) != 1) return;
  check(fmpg_buffer_size(h) == 0 && fmpg_buffer(h) == nullptr, "block after a seek not empty");
  check(fmpg_buffer_start_sample(h) == fmpg_sample_position(h), "start != position after seek");
  check(fmpg_timecode(h) == static_cast<double>(ms) / 1000.0, "timecode after seek", ms);
}

}  // namespace

void run_decoder_input(const uint8_t *data, size_t size) {
  if (size > kMaxInputBytes) return;
  const int fd = memfd_create("melvor-fuzz", MFD_CLOEXEC);
  if (fd < 0) return;
  size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n <= 0) {
      close(fd);
      return;
    }
    written += static_cast<size_t>(n);
  }
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

  fmpg_instance *h = fmpg_init();
  if (h == nullptr) std::abort();
  if (fmpg_open_file(h, path) == 1) {
    read_facts(h);
    int64_t budget = kMaxSamples;
    decode_some(h, kMaxBlocks / 2, &budget);

    // Seek targets from the last bytes: up to two times in 0..65535 ms, and
    // a negative one that must be refused.
    check(fmpg_seek_ms(h, -1) == 0, "negative seek accepted");
    for (int k = 0; k < 2 && size >= static_cast<size_t>(2 * (k + 1)); ++k) {
      const size_t at = size - 2 * (k + 1);
      const int64_t ms = data[at] << 8 | data[at + 1];
      seek_and_check(h, ms);
      decode_some(h, kMaxBlocks / 4, &budget);
    }
  }
  fmpg_close(h);
  check(fmpg_is_open(h) == 0, "open after close");
  fmpg_free(h);
  close(fd);
}

}  // namespace melvor_fuzz
