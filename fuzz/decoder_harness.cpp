#include "decoder_harness.h"

#include <melvor.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

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

// FFmpeg converts float samples to 32-bit integers in vector code, and the
// last few of a run in scalar code; for NaN and values far beyond full
// scale the two give different extremes, so where such a sample lands
// depends on where a frame begins. A pair with an extreme on either side
// counts as the same sample.
bool same_or_saturated(int32_t a, int32_t b) {
  const auto extreme = [](int32_t v) { return v == INT32_MIN || v == INT32_MAX; };
  return a == b || extreme(a) || extreme(b);
}

// Checks the block that the last decoding call left; true when it holds samples.
bool check_block(fmpg_instance *h, int result, int channels, int rate) {
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

// What one decoding pass saw.
struct Pass {
  int64_t first = 0;        // the first block's start
  int64_t end = 0;          // the last block's end
  int64_t samples = 0;      // in all its blocks
  bool contiguous = true;   // every block began where the one before ended
  bool failed = false;      // a 0 that was not the end
  bool finished = false;    // reached the end without a failure on the way
};

// Decodes on from where the instance stands until the end, `max_blocks`
// blocks, `max_samples` samples or a block that ends at `stop_at`, and
// hands every block to `take`. A 0 is the end or a failure that a later call
// may go past, as a host cannot tell them apart: decoding stops at the third
// 0 in a row. No block may begin before the one before it ended.
template <typename Take>
Pass decode_pass(fmpg_instance *h, const Limits &limits, int64_t stop_at, Take &&take) {
  Pass pass;
  const int channels = fmpg_audio_channels(h);
  const int rate = fmpg_audio_sample_rate(h);
  int zeros = 0;
  for (int i = 0; i < limits.max_blocks && pass.samples < limits.max_samples && zeros < 3 &&
                  (pass.samples == 0 || pass.end < stop_at);
       ++i) {
    const int r = fmpg_decode_next(h);
    if (!check_block(h, r, channels, rate)) {
      ++zeros;
      continue;
    }
    if (zeros > 0) pass.failed = true;
    zeros = 0;
    const int64_t start = fmpg_buffer_start_sample(h);
    const int64_t samples = fmpg_buffer_samples(h);
    if (pass.samples == 0) {
      pass.first = start;
    } else {
      check(start >= pass.end, "a block begins before the last one ended", start, pass.end);
      if (start != pass.end) pass.contiguous = false;
    }
    take(start, samples, reinterpret_cast<const int32_t *>(fmpg_buffer(h)));
    pass.samples += samples;
    pass.end = start + samples;
  }
  pass.finished = zeros >= 3 && !pass.failed;
  return pass;
}

// The decode from the open, which every seek is checked against. Its samples
// stay in a buffer that lives as long as the process: no allocation per input.
struct Reference {
  Pass pass;
  std::vector<int32_t> &pcm;
  // Comparable when it ran without a failure and without a gap.
  bool usable() const { return pass.samples > 0 && !pass.failed && pass.contiguous; }
};

std::vector<int32_t> &reference_samples() {
  static std::vector<int32_t> samples;
  return samples;
}

// Whether a seek restores the codec's state exactly: lossless codecs, MP3
// and Vorbis. Opens the file apart from the library, so only asked once an
// input gives a reason to.
bool exact_codec(const char *path) {
  AVFormatContext *context = nullptr;
  if (avformat_open_input(&context, path, nullptr, nullptr) < 0) return false;
  bool exact = false;
  if (avformat_find_stream_info(context, nullptr) >= 0) {
    const int index = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index >= 0) {
      const AVCodecID id = context->streams[index]->codecpar->codec_id;
      const AVCodecDescriptor *d = avcodec_descriptor_get(id);
      exact = id == AV_CODEC_ID_MP3 || id == AV_CODEC_ID_VORBIS ||
              (d != nullptr && (d->props & AV_CODEC_PROP_LOSSLESS));
    }
  }
  avformat_close_input(&context);
  return exact;
}

struct Input {
  const char *path;
  int exact = -1;  // exact_codec(path), once known
  bool is_exact() {
    if (exact < 0) exact = exact_codec(path) ? 1 : 0;
    return exact == 1;
  }
};

// A seek to ms, checked against the decode from the open: a seek that fails
// leaves the position where it was; after one that succeeds the blocks begin
// at the target (or where the open's began, before it) and hold the same
// number of samples as the open's from there, to the end where both reached
// it, and the same samples where the codec is exact. When the decode from
// the open stopped short of the end, the comparison stops where it did.
void seek_and_check(fmpg_instance *h, int64_t ms, const Reference &reference, Input &input,
                    const Limits &limits) {
  const int64_t before = fmpg_sample_position(h);
  if (fmpg_seek_ms(h, ms) != 1) {
    check(fmpg_sample_position(h) == before, "a failed seek moved the position",
          fmpg_sample_position(h), before);
    return;
  }
  check(fmpg_buffer_size(h) == 0 && fmpg_buffer(h) == nullptr, "block after a seek not empty");
  check(fmpg_buffer_start_sample(h) == fmpg_sample_position(h), "start != position after seek");
  check(fmpg_timecode(h) == static_cast<double>(ms) / 1000.0, "timecode after seek", ms);
  const int64_t target = fmpg_sample_position(h);
  const Pass &open = reference.pass;
  const bool comparable = reference.usable() && target < open.end;
  const int64_t from = std::max(target, open.first);
  const int channels = fmpg_audio_channels(h);

  // Samples of the seek's blocks that the open's also decoded: counted, and
  // compared as they come, without keeping them.
  int64_t overlap = 0;
  int64_t differs_at = -1;
  const auto take = [&](int64_t start, int64_t samples, const int32_t *values) {
    if (!comparable) return;
    const int64_t lo = std::max(start, from);
    const int64_t hi = std::min(start + samples, open.end);
    if (hi <= lo) return;
    overlap += hi - lo;
    if (differs_at >= 0) return;
    const size_t count = static_cast<size_t>((hi - lo) * channels);
    const int32_t *got = values + (lo - start) * channels;
    const int32_t *want = reference.pcm.data() + (lo - open.first) * channels;
    if (std::memcmp(got, want, count * sizeof(int32_t)) != 0) {
      const int32_t *at = std::mismatch(got, got + count, want, same_or_saturated).first;
      if (at != got + count) differs_at = lo + (at - got) / channels;
    }
  };
  // Past the end of an unfinished reference there is nothing to compare.
  const int64_t stop_at = open.finished ? INT64_MAX : open.end;
  const Pass rest = decode_pass(h, limits, stop_at, take);
  if (!comparable || rest.failed) return;

  check(rest.samples > 0 || !rest.finished, "nothing decoded after a seek inside the stream",
        target);
  if (rest.samples == 0) return;
  check(rest.first == from, "a seek did not land on its target", rest.first, from);
  // As far as both went; to the open's end when the seek's decode finished.
  const int64_t reach = rest.finished ? open.end : std::min(rest.end, open.end);
  check(overlap == reach - from, "samples from a seek's target to the end", overlap, reach - from);
  if (open.finished && (rest.finished || rest.samples > open.end - from)) {
    check(rest.samples == open.end - from, "samples from a seek's target to the end",
          rest.samples, open.end - from);
  }
  if (differs_at >= 0 && input.is_exact()) {
    violated("the samples after a seek are not the open's", differs_at, target);
  }
}

// Seek k takes its time from the input's (k % 2 + 1)th pair of bytes from
// the end. The first two fold it into the stretch the decode from the open
// covered and a quarter of it on either side, so that most seeks land where
// there is something to compare; the others take it as it is.
int64_t seek_time(const uint8_t *data, size_t size, int k, const Pass &open, int rate) {
  const size_t at = size - 2 * static_cast<size_t>(k % 2 + 1);
  const int64_t raw = data[at] << 8 | data[at + 1];
  if (k >= 2 || open.samples == 0) return raw;
  const auto ms_of = [rate](int64_t sample) {
    return static_cast<int64_t>(std::min(std::max<double>(sample, 0.0) * 1000.0 / rate, 1e15));
  };
  const int64_t first_ms = ms_of(open.first);
  const int64_t end_ms = ms_of(open.end);
  const int64_t margin = (end_ms - first_ms) / 4;
  const int64_t lo = std::max<int64_t>(0, first_ms - margin);
  return lo + raw % std::max<int64_t>(end_ms + margin + 1 - lo, 1);
}

// The bytes as a file that FFmpeg opens by path.
int file_of(const uint8_t *data, size_t size) {
  const int fd = memfd_create("melvor-fuzz", MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n <= 0) {
      close(fd);
      return -1;
    }
    written += static_cast<size_t>(n);
  }
  return fd;
}

}  // namespace

void run_decoder_input(const uint8_t *data, size_t size, const Limits &limits) {
  size = std::min(size, limits.max_input_bytes);
  const int fd = file_of(data, size);
  if (fd < 0) return;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

  fmpg_instance *h = fmpg_init();
  if (h == nullptr) std::abort();
  if (fmpg_open_file(h, path) == 1) {
    read_facts(h);
    const int channels = fmpg_audio_channels(h);
    const int rate = fmpg_audio_sample_rate(h);
    Reference reference{Pass{}, reference_samples()};
    reference.pcm.clear();
    reference.pass = decode_pass(h, limits, INT64_MAX,
                                 [&](int64_t, int64_t samples, const int32_t *values) {
                                   reference.pcm.insert(reference.pcm.end(), values,
                                                        values + samples * channels);
                                 });

    const int64_t before = fmpg_sample_position(h);
    check(fmpg_seek_ms(h, -1) == 0, "negative seek accepted");
    check(fmpg_sample_position(h) == before, "a failed seek moved the position");
    Input input{path};
    for (int k = 0; k < std::min(limits.seeks, 4) && size >= 2 * static_cast<size_t>(k % 2 + 1);
         ++k) {
      seek_and_check(h, seek_time(data, size, k, reference.pass, rate), reference, input, limits);
    }
  }
  fmpg_close(h);
  check(fmpg_is_open(h) == 0, "open after close");
  fmpg_free(h);
  close(fd);
}

}  // namespace melvor_fuzz
