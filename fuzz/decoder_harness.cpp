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

// What a decode from where the instance stands gave.
struct Run {
  struct Block {
    int64_t start;
    int64_t samples;
  };
  std::vector<Block> blocks;
  std::vector<int32_t> pcm;  // every block back to back
  bool finished = false;     // reached the end without a failure on the way
  bool contiguous = true;    // every block began where the one before ended

  int64_t end() const { return blocks.empty() ? 0 : blocks.back().start + blocks.back().samples; }
  // The samples from index `from` on, and their count.
  int64_t samples_from(int64_t from, size_t *offset, int channels) const {
    int64_t count = 0;
    *offset = pcm.size();
    size_t at = 0;
    for (const Block &b : blocks) {
      const int64_t skip = std::max<int64_t>(0, std::min(b.samples, from - b.start));
      if (skip < b.samples && *offset == pcm.size()) {
        *offset = at + static_cast<size_t>(skip * channels);
      }
      count += b.samples - skip;
      at += static_cast<size_t>(b.samples * channels);
    }
    return count;
  }
};

// Decodes on from where the instance stands. A 0 is the end or a failure
// that a later call may go past, as a host cannot tell them apart: decoding
// stops at the third 0 in a row. No block may begin before the one before it
// ended.
Run decode_some(fmpg_instance *h, int max_blocks, int64_t *budget) {
  Run run;
  const int channels = fmpg_audio_channels(h);
  int64_t position = fmpg_sample_position(h);
  int zeros = 0;
  bool failed = false;
  for (int i = 0; i < max_blocks && *budget > 0 && zeros < 3; ++i) {
    const int r = fmpg_decode_next(h);
    if (!check_block(h, r)) {
      ++zeros;
      continue;
    }
    if (zeros > 0) failed = true;  // a 0 that was not the end
    zeros = 0;
    const int64_t start = fmpg_buffer_start_sample(h);
    const int64_t samples = fmpg_buffer_samples(h);
    check(run.blocks.empty() || start >= run.end(), "a block begins before the last one ended",
          start, run.end());
    if (!run.blocks.empty() && start != run.end()) run.contiguous = false;
    run.blocks.push_back({start, samples});
    const auto *values = reinterpret_cast<const int32_t *>(fmpg_buffer(h));
    run.pcm.insert(run.pcm.end(), values, values + samples * channels);
    *budget -= samples;
    position = fmpg_sample_position(h);
  }
  (void)position;
  run.finished = zeros >= 3 && !failed;
  return run;
}

// Whether a seek restores the codec's state exactly: lossless codecs, MP3
// and Vorbis.
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

// After a seek to ms, against a decode from the open that finished without
// a gap: the blocks begin at the target (or where the open's began, before
// it), hold as many samples to the end, and the same ones where the codec is
// exact.
void seek_and_check(fmpg_instance *h, int64_t ms, const Run &reference, const char *path,
                    int64_t *budget) {
  if (fmpg_seek_ms(h, ms) != 1) return;
  check(fmpg_buffer_size(h) == 0 && fmpg_buffer(h) == nullptr, "block after a seek not empty");
  check(fmpg_buffer_start_sample(h) == fmpg_sample_position(h), "start != position after seek");
  check(fmpg_timecode(h) == static_cast<double>(ms) / 1000.0, "timecode after seek", ms);
  const int64_t target = fmpg_sample_position(h);
  const int64_t spent = *budget;
  const Run rest = decode_some(h, kMaxBlocks / 4, budget);
  const bool comparable = reference.finished && reference.contiguous && rest.finished &&
                          !reference.blocks.empty() && spent > 0;
  if (!comparable || target >= reference.end()) return;
  const int64_t first = reference.blocks.front().start;
  check(!rest.blocks.empty(), "nothing decoded after a seek inside the stream", target);
  check(rest.blocks.front().start == std::max(target, first), "a seek did not land on its target",
        rest.blocks.front().start, std::max(target, first));
  const int channels = fmpg_audio_channels(h);
  size_t offset = 0;
  const int64_t expected = reference.samples_from(target, &offset, channels);
  check(static_cast<int64_t>(rest.pcm.size()) == expected * channels,
        "samples from a seek's target to the end", static_cast<int64_t>(rest.pcm.size()) / channels,
        expected);
  if (exact_codec(path)) {
    check(std::equal(rest.pcm.begin(), rest.pcm.end(), reference.pcm.begin() + offset),
          "the samples after a seek are not the open's", target);
  }
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
    const Run reference = decode_some(h, kMaxBlocks / 2, &budget);

    // Seek targets from the last bytes: up to two times in 0..65535 ms, and
    // a negative one that must be refused.
    check(fmpg_seek_ms(h, -1) == 0, "negative seek accepted");
    for (int k = 0; k < 2 && size >= static_cast<size_t>(2 * (k + 1)); ++k) {
      const size_t at = size - 2 * (k + 1);
      const int64_t ms = data[at] << 8 | data[at + 1];
      seek_and_check(h, ms, reference, path, &budget);
    }
  }
  fmpg_close(h);
  check(fmpg_is_open(h) == 0, "open after close");
  fmpg_free(h);
  close(fd);
}

}  // namespace melvor_fuzz
