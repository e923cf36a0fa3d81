// Seeking: the state right after a seek, and the first block after it
// against the full decode at the same sample indices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "decoding.h"

namespace {

// The target sample of a seek: the seconds (ms / 1000 in double precision)
// at the rate, rounded half up. 1255 ms at 44.1 kHz gives 55345: 1.255 is
// a little less in binary.
int64_t target_of(int64_t ms, int rate) {
  return static_cast<int64_t>(std::fma(static_cast<double>(ms) / 1000.0, rate, 0.5));
}

// What a seek must leave before the next decoding call.
void expect_seek_state(fmpg_instance *h, int64_t ms) {
  const int64_t target = target_of(ms, fmpg_audio_sample_rate(h));
  EXPECT_EQ(fmpg_buffer(h), nullptr);
  EXPECT_EQ(fmpg_buffer_size(h), 0);
  EXPECT_EQ(fmpg_buffer_samples(h), 0);
  EXPECT_EQ(fmpg_buffer_start_sample(h), target);
  EXPECT_EQ(fmpg_buffer_end_sample(h), target);
  EXPECT_EQ(fmpg_sample_position(h), target);
  EXPECT_EQ(fmpg_timecode(h), static_cast<double>(ms) / 1000.0);
}

struct SeekCase {
  const char *file;
  // Largest difference from the full decode allowed in the first block.
  // 0 wherever the warm-up makes the decoder's output exact again.
  int64_t tolerance;
};

void PrintTo(const SeekCase &c, std::ostream *os) { *os << c.file; }

struct Accuracy {
  int64_t largest_offset = 0;  // of a first block from its target
  int64_t largest_difference = 0;
  int blocks = 0;
};

// Seeks to ms, decodes one block and compares it with the full decode.
void seek_and_compare(fmpg_instance *h, const Decoded &full, int64_t ms, const SeekCase &c,
                      Accuracy &accuracy) {
  SCOPED_TRACE(testing::Message() << c.file << " at " << ms << " ms");
  ASSERT_EQ(fmpg_seek_ms(h, ms), 1);
  expect_seek_state(h, ms);
  ASSERT_EQ(fmpg_decode_next(h), 1);
  expect_block_invariants(h, full.rate, full.channels);
  const int64_t target = target_of(ms, full.rate);
  const int64_t start = fmpg_buffer_start_sample(h);
  // exactly at the target, unless the stream begins after it
  EXPECT_EQ(start, std::max(target, full.first_start()));
  accuracy.largest_offset = std::max(accuracy.largest_offset, start - target);
  const auto *values = reinterpret_cast<const int32_t *>(fmpg_buffer(h));
  for (int64_t i = 0; i < fmpg_buffer_samples(h); ++i) {
    const int32_t *expected = full.at(start + i);
    ASSERT_NE(expected, nullptr) << "sample " << start + i << " is not in the full decode";
    const int64_t difference =
        largest_difference(values + i * full.channels, expected, full.channels);
    accuracy.largest_difference = std::max(accuracy.largest_difference, difference);
    ASSERT_LE(difference, c.tolerance) << "at sample " << start + i;
  }
  ++accuracy.blocks;
}

class SeekAccuracy : public ::testing::TestWithParam<SeekCase> {};

TEST_P(SeekAccuracy, FirstBlockStartsAtTheTargetWithTheFullDecodesSamples) {
  const SeekCase &c = GetParam();
  const std::string path = fixture(c.file);
  Instance reference = open_instance(path);
  ASSERT_NE(reference, nullptr);
  const Decoded full = decode_rest(reference.get());
  ASSERT_FALSE(full.blocks.empty());
  const int64_t duration_ms = full.end_position * 1000 / full.rate;

  Instance h = open_instance(path);
  ASSERT_NE(h, nullptr);
  Accuracy accuracy;
  // Small values that round, whole seconds and one past, mid-file, near
  // the end; the start again after those.
  const int64_t targets[] = {0,    1,    5,  10, 23, 1000, 1001, duration_ms / 2, duration_ms / 2 + 17,
                             duration_ms - 50, 0};
  for (int64_t ms : targets) {
    if (ms >= duration_ms) continue;
    seek_and_compare(h.get(), full, ms, c, accuracy);
  }

  // Past the end: nothing to decode, or the demuxer refuses.
  const int64_t past = duration_ms + 1000;
  if (fmpg_seek_ms(h.get(), past) == 1) {
    expect_seek_state(h.get(), past);
    EXPECT_EQ(fmpg_decode_next(h.get()), 0);
    expect_finished(h.get());
  }
  // After the end was reached, a seek resumes decoding.
  decode_rest(h.get());
  seek_and_compare(h.get(), full, duration_ms / 3, c, accuracy);

  std::printf("seek accuracy %-15s %2d seeks, largest start offset %lld, largest difference %lld"
              " (%.1f dB)\n",
              c.file, accuracy.blocks, static_cast<long long>(accuracy.largest_offset),
              static_cast<long long>(accuracy.largest_difference),
              accuracy.largest_difference == 0
                  ? -INFINITY
                  : 20.0 * std::log10(accuracy.largest_difference / 2147483648.0));
}

// 2^31 is full scale; 1 << 17 is -84 dB.
INSTANTIATE_TEST_SUITE_P(
    Fixtures, SeekAccuracy,
    ::testing::Values(SeekCase{"tone.flac", 0}, SeekCase{"index24.flac", 0},
                      SeekCase{"tone24.wav", 0}, SeekCase{"tonef32.wav", 0},
                      SeekCase{"tone.wv", 0}, SeekCase{"tone_alac.m4a", 0},
                      SeekCase{"tone.tta", 0}, SeekCase{"surround51.flac", 0},
                      SeekCase{"av.mkv", 0}, SeekCase{"two_audio.mkv", 0},
                      SeekCase{"tone.mp3", 0}, SeekCase{"tone.ogg", 0},
                      // AAC's noise substitution draws from a generator that
                      // a seek cannot rewind; exact from the start
                      SeekCase{"tone.m4a", 1 << 17}, SeekCase{"tone.aac", 1 << 17},
                      SeekCase{"tone_aac.mkv", 1 << 20},
                      // Opus's prediction has not quite settled after 200 ms
                      SeekCase{"tone.opus", 1 << 22}, SeekCase{"tone.webm", 1 << 22},
                      // the synthesis filter's dither state: one 16-bit step
                      SeekCase{"tone.mp2", 1 << 16},
                      // the stream's own 90 kHz stamps drift by 2 samples
                      SeekCase{"tone.ac3", 1 << 27}),
    [](const auto &info) { return test_name(info.param.file); });

// Samples that encode their own index make "seek to N, the first sample is
// f(N)" an exact check, here with targets that round half up.
TEST(Seek, LandsOnTheSampleOfTheRequestedTime) {
  const struct {
    const char *file;
    int64_t ms;
    int64_t target;
    int32_t left;
  } cases[] = {
      {"index16.wav", 5, 221, (221 - 32768) * 65536},  // 220.5 rounds up
      {"index16.wav", 999, 44056, (44056 - 32768) * 65536},  // 44055.9
      {"index16.wav", 0, 0, -32768 * 65536},
      {"index24.flac", 1500, 72000, 72000 * 256},
      {"index24.flac", 2999, 143952, 143952 * 256},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.file << " at " << c.ms << " ms");
    Instance h = open_instance(fixture(c.file));
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(fmpg_seek_ms(h.get(), c.ms), 1);
    EXPECT_EQ(fmpg_sample_position(h.get()), c.target);
    ASSERT_EQ(fmpg_decode_next(h.get()), 1);
    EXPECT_EQ(fmpg_buffer_start_sample(h.get()), c.target);
    EXPECT_EQ(fmpg_timecode(h.get()), static_cast<double>(c.target) / fmpg_audio_sample_rate(h.get()));
    EXPECT_EQ(reinterpret_cast<const int32_t *>(fmpg_buffer(h.get()))[0], c.left);
  }
}

TEST(Seek, RefusedWhenNotOpenOrNegative) {
  EXPECT_EQ(fmpg_seek_ms(nullptr, 0), 0);
  Instance h(fmpg_init());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(fmpg_seek_ms(h.get(), 0), 0);

  h = open_instance(fixture("index24.flac"));
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  const int64_t start = fmpg_buffer_start_sample(h.get());
  const int64_t position = fmpg_sample_position(h.get());
  const uint8_t *block = fmpg_buffer(h.get());
  EXPECT_EQ(fmpg_seek_ms(h.get(), -1), 0);
  EXPECT_EQ(fmpg_buffer(h.get()), block);
  EXPECT_EQ(fmpg_buffer_start_sample(h.get()), start);
  EXPECT_EQ(fmpg_sample_position(h.get()), position);
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  EXPECT_EQ(fmpg_buffer_start_sample(h.get()), position);  // went on where it stood

  fmpg_close(h.get());
  EXPECT_EQ(fmpg_seek_ms(h.get(), 0), 0);
}

TEST(Seek, FarBeyondTheEndGivesNothing) {
  Instance h = open_instance(fixture("tone.m4a"));
  ASSERT_NE(h, nullptr);
  for (int64_t ms : {INT64_MAX, INT64_MAX / 1000, int64_t{1} << 40}) {
    SCOPED_TRACE(ms);
    if (fmpg_seek_ms(h.get(), ms) == 1) {
      EXPECT_GT(fmpg_sample_position(h.get()), 0);
      EXPECT_EQ(fmpg_decode_next(h.get()), 0);
      expect_finished(h.get());
    }
  }
  ASSERT_EQ(fmpg_seek_ms(h.get(), 1000), 1);
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  EXPECT_EQ(fmpg_buffer_start_sample(h.get()), 44100);
}

TEST(Seek, ASecondSeekReplacesTheTarget) {
  Instance h = open_instance(fixture("index24.flac"));
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(fmpg_seek_ms(h.get(), 2000), 1);
  ASSERT_EQ(fmpg_seek_ms(h.get(), 500), 1);
  expect_seek_state(h.get(), 500);
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  EXPECT_EQ(fmpg_buffer_start_sample(h.get()), 24000);
  EXPECT_EQ(reinterpret_cast<const int32_t *>(fmpg_buffer(h.get()))[0], 24000 * 256);
}

TEST(Seek, DecodingGoesOnContiguouslyAfterTheFirstBlock) {
  Instance h = open_instance(fixture("index24.flac"));
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(fmpg_seek_ms(h.get(), 1234), 1);
  const Decoded rest = decode_rest(h.get());
  expect_finished(h.get());
  EXPECT_EQ(rest.first_start(), 59232);
  EXPECT_EQ(rest.gaps, 0);
  EXPECT_EQ(rest.end_position, 144000);
  ASSERT_EQ(rest.samples(), 144000 - 59232);
  for (int64_t n = 59232; n < 144000; n += 1009) {
    EXPECT_EQ(rest.at(n)[1], static_cast<int32_t>(-n * 256)) << n;
  }
}

}  // namespace
