// Seeks where the demuxer does not do what it is asked (through the shim this
// program links ahead of FFmpeg): it cannot seek, it goes to the start and
// says it went where asked, or it lands later than asked; or where no fresh
// decoder can be made. A seek then either lands exactly or gives 0 and
// leaves decoding where it was.
#include <melvor.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "decoding.h"
#include "seek_shim.h"

namespace {

const char *const kFiles[] = {"tone.mp3",      "tone.ogg",     "index24.flac", "tone.m4a",
                              "av.mkv",        "tone.opus",    "chirp_wmav2.wma",
                              "chirp_sv8.mpc", "chirp_speex.ogg"};

// Blocks that do not start where the one before ended.
int count_jumps(const Decoded &d) {
  int jumps = 0;
  for (size_t i = 1; i < d.blocks.size(); ++i) {
    if (d.blocks[i].start != d.blocks[i - 1].start + d.blocks[i - 1].samples) ++jumps;
  }
  return jumps;
}

class SeekFaults : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    Instance h = open_instance(fixture(GetParam()));
    ASSERT_NE(h, nullptr);
    full_ = decode_rest(h.get());
    ASSERT_FALSE(full_.blocks.empty());
  }
  void TearDown() override {
    seek_shim_set(SEEK_SHIM_REAL, 0);
    seek_shim_fail_codec_opens(0);
  }

  // Decodes to the end from a seek to ms; the rest must be the full
  // decode's from the target: the same samples, as many.
  void expect_exact_rest(fmpg_instance *h, int64_t ms) {
    const int64_t target = std::max(static_cast<int64_t>(ms / 1000.0 * full_.rate + 0.5),
                                    full_.first_start());
    const Decoded rest = decode_rest(h);
    ASSERT_FALSE(rest.blocks.empty());
    EXPECT_EQ(rest.first_start(), target);
    EXPECT_EQ(count_jumps(rest), 0);
    const int32_t *expected = full_.at(target);
    ASSERT_NE(expected, nullptr);
    const size_t values = rest.pcm.size();
    ASSERT_EQ(full_.pcm.data() + full_.pcm.size() - expected, static_cast<ptrdiff_t>(values));
    EXPECT_LE(largest_difference(rest.pcm.data(), expected, values), tolerance());
  }
  // What a seek can restore of a lossy codec's state (see the conformance
  // sweep's floors); exact elsewhere.
  int64_t tolerance() const {
    const std::string name = GetParam();
    if (name == "tone.m4a") return 1 << 24;
    if (name == "tone.opus") return 1 << 21;
    return 0;
  }

  Decoded full_;
};

// A demuxer that cannot seek at all: the file is opened anew and decoded
// forward to the target.
TEST_P(SeekFaults, ADemuxerThatCannotSeekStillLandsExactly) {
  Instance h = open_instance(fixture(GetParam()));
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  seek_shim_set(SEEK_SHIM_REFUSE, 0);
  const int64_t ms = full_.end_position * 1000 / full_.rate / 2;
  ASSERT_EQ(fmpg_seek_ms(h.get(), ms), 1);
  EXPECT_GT(seek_shim_calls(), 0);
  expect_exact_rest(h.get(), ms);
}

// Nor can the file be opened again (it is gone): the seek gives 0, and
// decoding goes on where it was.
TEST_P(SeekFaults, ASeekThatCannotBeDoneLeavesDecodingWhereItWas) {
  const std::string copy = testing::TempDir() + "melvor-seek-" + GetParam();
  {
    const std::string command = "cp '" + fixture(GetParam()) + "' '" + copy + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  Instance h = open_instance(copy);
  ASSERT_EQ(std::remove(copy.c_str()), 0);
  ASSERT_NE(h, nullptr);
  if (full_.blocks.size() > 1) {
    ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  }
  const int64_t position = fmpg_sample_position(h.get());
  seek_shim_set(SEEK_SHIM_REFUSE, 0);
  EXPECT_EQ(fmpg_seek_ms(h.get(), 1000), 0);
  EXPECT_EQ(fmpg_sample_position(h.get()), position);
  seek_shim_set(SEEK_SHIM_REAL, 0);
  const Decoded rest = decode_rest(h.get());
  ASSERT_FALSE(rest.blocks.empty());
  EXPECT_EQ(rest.first_start(), std::max(position, full_.first_start()));
  EXPECT_EQ(count_jumps(rest), 0);
  const int32_t *expected = full_.at(position);
  ASSERT_NE(expected, nullptr);
  ASSERT_EQ(full_.pcm.data() + full_.pcm.size() - expected,
            static_cast<ptrdiff_t>(rest.pcm.size()));
  EXPECT_EQ(largest_difference(rest.pcm.data(), expected, rest.pcm.size()), 0);
}

TEST_P(SeekFaults, ADemuxerThatGoesToTheStartInsteadStillLandsExactly) {
  Instance h = open_instance(fixture(GetParam()));
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  seek_shim_set(SEEK_SHIM_TO_START, 0);
  const int64_t ms = full_.end_position * 1000 / full_.rate * 2 / 3;
  ASSERT_EQ(fmpg_seek_ms(h.get(), ms), 1);
  expect_exact_rest(h.get(), ms);
}

TEST_P(SeekFaults, ADemuxerThatLandsLateStillLandsExactly) {
  Instance h = open_instance(fixture(GetParam()));
  ASSERT_NE(h, nullptr);
  seek_shim_set(SEEK_SHIM_LATE, 0.4);
  for (int64_t ms : {full_.end_position * 1000 / full_.rate / 2, int64_t{0}}) {
    SCOPED_TRACE(ms);
    ASSERT_EQ(fmpg_seek_ms(h.get(), ms), 1);
    expect_exact_rest(h.get(), std::max<int64_t>(ms, 0));
  }
}

// No fresh decoder can be made (avcodec_open2 fails) for a seek that goes
// back to the stream's start: the seek fails before anything has moved, and
// decoding goes on exactly where it stood. Once decoders can be made again,
// the same seek lands.
TEST_P(SeekFaults, ASeekWithoutAFreshDecoderFailsBeforeAnythingMoves) {
  Instance h = open_instance(fixture(GetParam()));
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  const int64_t stood = fmpg_buffer_end_sample(h.get());
  seek_shim_fail_codec_opens(1);
  EXPECT_EQ(fmpg_seek_ms(h.get(), 0), 0);
  seek_shim_fail_codec_opens(0);
  EXPECT_EQ(fmpg_is_open(h.get()), 1);
  const Decoded rest = decode_rest(h.get());
  if (full_.blocks.size() > 1) {
    EXPECT_EQ(rest.first_start(), full_.blocks[1].start);
    const size_t from = full_.blocks[1].offset;
    ASSERT_EQ(rest.pcm.size(), full_.pcm.size() - from);
    EXPECT_TRUE(std::equal(rest.pcm.begin(), rest.pcm.end(),
                           full_.pcm.begin() + static_cast<ptrdiff_t>(from)));
  } else {
    EXPECT_TRUE(rest.blocks.empty());
  }
  EXPECT_EQ(rest.gaps, 0);
  EXPECT_EQ(stood, full_.blocks[0].start + full_.blocks[0].samples);
  ASSERT_EQ(fmpg_seek_ms(h.get(), 0), 1);
  expect_exact_rest(h.get(), 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SeekFaults, ::testing::ValuesIn(kFiles),
                         [](const auto &info) { return test_name(info.param); });

}  // namespace
