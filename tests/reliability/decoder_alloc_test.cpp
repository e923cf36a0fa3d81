// Allocation failures inside the decoder's calls: the n-th allocation of
// fmpg_init, fmpg_open_file, fmpg_decode_next and fmpg_seek_ms fails, for
// every n the call reaches. Each call must give its documented result,
// throw nothing, leave the instance usable, and leak nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "decoding.h"

extern "C" {
#include <libavutil/log.h>
}
#include "fault_alloc.h"
#include "isolate.h"

namespace {

// FFmpeg reports each failed allocation; the host here wants quiet.
const int quiet_ffmpeg = [] {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}();

struct Fixture {
  const char *file;
  // Largest difference from the full decode allowed in a block after a
  // seek (see the seek tests); a fresh open decodes exactly.
  int64_t seek_tolerance;
  // After a seek to the start that had no memory for a fresh decoder, the
  // flushed one goes on: a lossy codec's first blocks then differ a little
  // (-48 dB), a lossless one's not at all.
  bool lossy;
};

void PrintTo(const Fixture &c, std::ostream *os) { *os << c.file; }

// Lossless and lossy codecs, raw and in containers, one with video.
const Fixture kFixtures[] = {
    {"tone.flac", 0, false},      {"tone.mp3", 0, true},       {"tone.ogg", 0, true},
    {"tone.m4a", 1 << 17, true},  {"tone.opus", 1 << 22, true}, {"av.mkv", 0, false},
    {"tone_alac.m4a", 0, false},  {"surround51.flac", 0, false},
};
const int64_t kFlushedTolerance = 1 << 23;

// The whole file, decoded without faults, with its blocks back to back.
const Decoded &full_decode(const std::string &path) {
  static std::vector<std::pair<std::string, Decoded>> cache;
  for (const auto &entry : cache) {
    if (entry.first == path) return entry.second;
  }
  Instance h = open_instance(path);
  cache.emplace_back(path, h ? decode_rest(h.get()) : Decoded());
  // FFmpeg's one-time set-up of what seeking needs, before any fault.
  if (h && fmpg_seek_ms(h.get(), 0) == 1) fmpg_decode_next(h.get());
  return cache.back().second;
}

// The block now in the instance lies within tolerance of the full decode.
void expect_block_matches(fmpg_instance *h, const Decoded &full, int64_t tolerance) {
  expect_block_invariants(h, full.rate, full.channels);
  const int64_t start = fmpg_buffer_start_sample(h);
  const auto *values = reinterpret_cast<const int32_t *>(fmpg_buffer(h));
  for (int64_t i = 0; i < fmpg_buffer_samples(h); ++i) {
    const int32_t *expected = full.at(start + i);
    ASSERT_NE(expected, nullptr) << "sample " << start + i;
    ASSERT_LE(largest_difference(values + i * full.channels, expected, full.channels), tolerance)
        << "sample " << start + i;
  }
}

// What a Closed instance answers.
void expect_closed(fmpg_instance *h) {
  EXPECT_EQ(fmpg_is_open(h), 0);
  EXPECT_EQ(fmpg_audio_stream_count(h), 0);
  EXPECT_EQ(fmpg_audio_sample_rate(h), 0);
  EXPECT_EQ(fmpg_duration_ms(h), -1);
  EXPECT_STREQ(fmpg_file_title(h), "");
  EXPECT_EQ(fmpg_file_year(h), -1);
  EXPECT_EQ(fmpg_buffer(h), nullptr);
  EXPECT_EQ(fmpg_sample_position(h), 0);
  EXPECT_EQ(fmpg_decode_next(h), 0);
  EXPECT_EQ(fmpg_seek_ms(h, 0), 0);
}

int open_quietly(fmpg_instance *h, const std::string &path) {
  StderrCapture quiet;
  return fmpg_open_file(h, path.c_str());
}

// Decodes to the end; false when it does not end within `limit` blocks.
bool decodes_to_an_end(fmpg_instance *h, int limit) {
  for (int i = 0; i < limit; ++i) {
    if (fmpg_decode_next(h) == 0) return true;
  }
  return false;
}

TEST(InitAllocation, FailureGivesNullSilently) {
  const isolate::tally t = isolate::each_allocation("libmelvor", [](long n) {
    StderrCapture capture;
    fault::arm(n);
    fmpg_instance *h = fmpg_init();
    const bool fired = fault::disarm();
    EXPECT_EQ(h == nullptr, fired);
    EXPECT_EQ(capture.text(), "");
    fmpg_free(h);
    return fired;
  });
  EXPECT_GE(t.fired, 1);
}

class AllocationFaults : public ::testing::TestWithParam<Fixture> {
 protected:
  void SetUp() override {
    path_ = fixture(GetParam().file);
    full_ = &full_decode(path_);
    ASSERT_FALSE(full_->blocks.empty());
    ASSERT_EQ(full_->gaps, full_->first_start() == 0 ? 0 : 1) << "the comparisons need one run";
    blocks_ = static_cast<int>(full_->blocks.size());
    for (const Decoded::Block &b : full_->blocks) largest_block_ = std::max(largest_block_, b.samples);
  }
  void report(const char *what, const isolate::tally &t) {
    isolate::print_tally(what, t);
    RecordProperty(std::string(what) + "_failed_allocations", static_cast<int>(t.fired));
    RecordProperty(std::string(what) + "_ffmpeg_crashes", static_cast<int>(t.ffmpeg_crashes));
  }

  // Closed and opened again, the instance decodes the file exactly.
  void expect_reopens_exactly(fmpg_instance *h) {
    fmpg_close(h);
    EXPECT_EQ(open_quietly(h, path_), 1);
    EXPECT_EQ(fmpg_decode_next(h), 1);
    expect_block_matches(h, *full_, 0);
  }

  std::string path_;
  const Decoded *full_ = nullptr;
  int blocks_ = 0;
  int64_t largest_block_ = 0;
};

// A failed open leaves the instance Closed; one that succeeds although an
// allocation failed (FFmpeg absorbed it) reports the same facts. Either way
// the instance then opens the file again and decodes it exactly.
TEST_P(AllocationFaults, OpenFailsCleanlyAndTheInstanceOpensAgain) {
  int rate = 0;
  int64_t duration = 0;
  std::string title;
  {
    Instance h = open_instance(path_);  // and FFmpeg's one-time set-up
    ASSERT_NE(h, nullptr);
    rate = fmpg_audio_sample_rate(h.get());
    duration = fmpg_duration_ms(h.get());
    title = fmpg_file_title(h.get());
  }
  const isolate::tally t = isolate::each_allocation("libmelvor", [&](long n) {
    Instance h(fmpg_init());
    int result;
    bool fired;
    {
      StderrCapture quiet;
      fault::arm(n);
      result = fmpg_open_file(h.get(), path_.c_str());
      fired = fault::disarm();
    }
    if (result == 0) {
      EXPECT_TRUE(fired);
      expect_closed(h.get());
    } else {
      // FFmpeg may drop a tag, or an edit list that trims the duration,
      // that it had no memory for, and go on.
      EXPECT_EQ(fmpg_audio_sample_rate(h.get()), rate);
      if (!fired) {
        EXPECT_EQ(fmpg_duration_ms(h.get()), duration);
      }
      const std::string got = fmpg_file_title(h.get());
      EXPECT_TRUE(got == title || (fired && got.empty())) << got;
      fmpg_close(h.get());
    }
    EXPECT_EQ(open_quietly(h.get(), path_), 1);
    for (int b = 0; b < 3 && !HasFatalFailure(); ++b) {
      EXPECT_EQ(fmpg_decode_next(h.get()), 1);
      expect_block_matches(h.get(), *full_, 0);
    }
    h.reset();
    return fired;
  });
  EXPECT_GT(t.fired, 10);
  report("open", t);
}

// A decoding call that fails gives 0 (or a good block, when FFmpeg
// absorbed the fault); decoding then goes on to an end, and a seek to the
// start decodes exactly again. At the first block, one in the middle and
// the calls at the end of the stream.
TEST_P(AllocationFaults, DecodeFailsCleanlyAndDecodingGoesOn) {
  isolate::tally all;
  for (int at : {0, blocks_ / 2, blocks_ - 1, blocks_, blocks_ + 1}) {
    SCOPED_TRACE(testing::Message() << "decoding call " << at + 1);
    const isolate::tally t = isolate::each_allocation("libmelvor", [&](long n) {
        Instance h = open_instance(path_);
      if (h == nullptr) return false;
      for (int b = 0; b < at; ++b) EXPECT_EQ(fmpg_decode_next(h.get()), b < blocks_ ? 1 : 0);
      fault::arm(n);
      const int result = fmpg_decode_next(h.get());
      const bool fired = fault::disarm();
      if (result == 1) {
        EXPECT_LT(at, blocks_);
        expect_block_invariants(h.get(), full_->rate, full_->channels);
      } else {
        EXPECT_EQ(fmpg_buffer_size(h.get()) % (4 * full_->channels), 0);
      }
      EXPECT_TRUE(decodes_to_an_end(h.get(), 4 * blocks_ + 10));
      EXPECT_EQ(fmpg_decode_next(h.get()), 0);
      // Decoding went on to the real end: a failure is not the end of the
      // file. At most the audio of the call that failed is lost.
      EXPECT_GE(fmpg_sample_position(h.get()), full_->end_position - 2 * largest_block_);
      // A demuxer that lost part of its index (FFmpeg goes on without an
      // entry it had no memory for) may refuse to seek; the instance then
      // still opens the file again.
      if (fmpg_seek_ms(h.get(), 0) == 1) {
        EXPECT_EQ(fmpg_decode_next(h.get()), 1);
        expect_block_matches(h.get(), *full_, GetParam().seek_tolerance);
      } else {
        expect_reopens_exactly(h.get());
      }
      h.reset();
        return fired;
    });
    // The calls past the end allocate nothing.
    if (at < blocks_) {
      EXPECT_GT(t.fired, 0);
    }
    all.add(t);
  }
  report("decode", all);
}

// A seek that fails gives 0, and a second seek to the same time then
// lands; one that succeeds although an allocation failed lands too. To the
// start (a fresh codec) and into the file.
TEST_P(AllocationFaults, SeekFailsCleanlyAndASecondSeekLands) {
  const int64_t duration_ms = full_->end_position * 1000 / full_->rate;
  isolate::tally all;
  for (int64_t ms : {int64_t{0}, duration_ms / 2}) {
    SCOPED_TRACE(testing::Message() << "seek to " << ms << " ms");
    const isolate::tally t = isolate::each_allocation("libmelvor", [&](long n) {
        Instance h = open_instance(path_);
      if (h == nullptr) return false;
      for (int b = 0; b < 2; ++b) EXPECT_EQ(fmpg_decode_next(h.get()), 1);
      fault::arm(n);
      const int result = fmpg_seek_ms(h.get(), ms);
      const bool fired = fault::disarm();
      int64_t tolerance = GetParam().seek_tolerance;
      if (result == 0) {
        EXPECT_TRUE(fired);
        EXPECT_EQ(fmpg_is_open(h.get()), 1);
        EXPECT_EQ(fmpg_seek_ms(h.get(), ms), 1);
      } else if (fired && GetParam().lossy) {
        tolerance = std::max(tolerance, kFlushedTolerance);
      }
      if (fmpg_decode_next(h.get()) == 1) {
        // FFmpeg's MP3 parser, short of memory to join a frame, passes on
        // a damaged one, which decodes to noise: only the form is checked.
        if (fired && result == 1 && GetParam().lossy) {
          expect_block_invariants(h.get(), full_->rate, full_->channels);
        } else {
          expect_block_matches(h.get(), *full_, tolerance);
        }
        EXPECT_TRUE(decodes_to_an_end(h.get(), 4 * blocks_ + 10));
      } else {
        // FFmpeg's demuxer lost the parser it had no memory to renew, and
        // delivers nothing more; the instance still opens the file again.
        EXPECT_TRUE(fired);
        expect_reopens_exactly(h.get());
      }
      h.reset();
        return fired;
    });
    EXPECT_GT(t.fired, 0);
    all.add(t);
  }
  report("seek", all);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AllocationFaults, ::testing::ValuesIn(kFixtures),
                         [](const auto &info) { return test_name(info.param.file); });

}  // namespace
