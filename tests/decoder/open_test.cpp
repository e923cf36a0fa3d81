// Opening files: stream facts, gates, failures and the open trace.
#include <melvor.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "stderr_capture.h"

namespace {

// "metadata: " and a pointer, with no line end.
bool is_open_trace(const std::string &text) {
  return text.rfind("metadata: ", 0) == 0 && text.size() > 10 &&
         text.find('\n') == std::string::npos;
}

struct InstanceDeleter {
  void operator()(fmpg_instance *h) const { fmpg_free(h); }
};
using Instance = std::unique_ptr<fmpg_instance, InstanceDeleter>;

Instance make_instance() {
  Instance h(fmpg_init());
  EXPECT_NE(h, nullptr);
  return h;
}

int open_quietly(fmpg_instance *h, const std::string &path) {
  StderrCapture quiet;
  return fmpg_open_file(h, path.c_str());
}

constexpr int64_t kAny = INT64_MIN;  // the container decides; not checked

struct StreamCase {
  const char *file;
  int streams;
  int rate;
  int channels;
  int64_t duration_ms;
  int64_t duration_samples;
};

void PrintTo(const StreamCase &c, std::ostream *os) { *os << c.file; }

class StreamFacts : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamFacts, ReportsTheChosenStream) {
  const StreamCase &c = GetParam();
  Instance h = make_instance();
  ASSERT_EQ(open_quietly(h.get(), fixture(c.file)), 1);
  EXPECT_EQ(fmpg_is_open(h.get()), 1);
  EXPECT_EQ(fmpg_audio_stream_count(h.get()), c.streams);
  EXPECT_EQ(fmpg_audio_sample_rate(h.get()), c.rate);
  EXPECT_EQ(fmpg_audio_channels(h.get()), c.channels);
  if (c.duration_ms != kAny) {
    EXPECT_EQ(fmpg_duration_ms(h.get()), c.duration_ms);
  }
  if (c.duration_samples != kAny) {
    EXPECT_EQ(fmpg_duration_samples(h.get()), c.duration_samples);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, StreamFacts,
    ::testing::Values(
        // duration 110250 in a 1/44100 time base
        StreamCase{"tone.flac", 1, 44100, 2, 2500, 110250},
        StreamCase{"notags.wav", 1, 44100, 1, 500, 22050},
        StreamCase{"tone24.wav", 1, 44100, 2, 500, 22050},
        StreamCase{"index24.flac", 1, 48000, 2, 3000, 144000},
        StreamCase{"surround51.flac", 1, 48000, 6, 250, 12000},
        StreamCase{"tone.mp3", 1, 44100, 2, 2500, 110250},
        StreamCase{"tone.ogg", 1, 44100, 2, 2500, 110250},
        StreamCase{"tone.opus", 1, 48000, 2, kAny, kAny},
        StreamCase{"tone.m4a", 1, 44100, 2, kAny, kAny},
        StreamCase{"tone.wv", 1, 44100, 2, 1000, 44100},
        StreamCase{"tone_alac.m4a", 1, 44100, 2, 1000, 44100},
        // the stereo FLAC, not the mono MP2 beside it
        StreamCase{"two_audio.mkv", 2, 44100, 2, kAny, kAny},
        // audio beside a video stream
        StreamCase{"av.mkv", 1, 44100, 2, kAny, kAny},
        // neither stream nor container knows the duration
        StreamCase{"noduration.mkv", 1, 8000, 1, -1, -1},
        // a cut file still opens; decoding ends where the data does
        StreamCase{"truncated.flac", 1, 44100, 2, 2500, 110250}),
    [](const auto &info) {
      std::string name = info.param.file;
      for (char &ch : name) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

// Whether the demuxer opens, so that the "metadata: %p" trace is written.
enum class Trace { no, yes, either };

struct FailureCase {
  const char *name;
  std::string path;
  Trace trace;
};

TEST(OpenFailure, LeavesTheInstanceClosedAndReusable) {
  const FailureCase cases[] = {
      {"missing file", fixture("does-not-exist.flac"), Trace::no},
      {"directory", MELVOR_FIXTURES, Trace::no},
      {"empty file", fixture("empty.bin"), Trace::no},
      {"random bytes", fixture("random.bin"), Trace::either},  // some raw demuxer may take it
      {"video only", fixture("video_only.mp4"), Trace::yes},
  };
  Instance h = make_instance();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    StderrCapture capture;
    EXPECT_EQ(fmpg_open_file(h.get(), c.path.c_str()), 0);
    const std::string err = capture.text();
    if (c.trace == Trace::yes) {
      EXPECT_TRUE(is_open_trace(err)) << err;
    } else if (c.trace == Trace::no) {
      EXPECT_EQ(err.find("metadata:"), std::string::npos) << err;
    }
    EXPECT_EQ(fmpg_is_open(h.get()), 0);
    EXPECT_EQ(fmpg_audio_stream_count(h.get()), 0);
    EXPECT_EQ(fmpg_audio_sample_rate(h.get()), 0);
    EXPECT_EQ(fmpg_duration_ms(h.get()), -1);
    EXPECT_STREQ(fmpg_file_title(h.get()), "");
    EXPECT_EQ(fmpg_file_bitrate(h.get()), -1);

    ASSERT_EQ(open_quietly(h.get(), fixture("tone.flac")), 1);
    EXPECT_EQ(fmpg_audio_sample_rate(h.get()), 44100);
    fmpg_close(h.get());
  }
}

TEST(OpenFailure, VideoOnlyClearsTheTagsReadOnTheWay) {
  Instance h = make_instance();
  EXPECT_EQ(open_quietly(h.get(), fixture("video_only.mp4")), 0);
  EXPECT_STREQ(fmpg_file_title(h.get()), "");
  EXPECT_EQ(fmpg_file_year(h.get()), -1);
}

TEST(Open, TraceHasNoLineEnd) {
  Instance h = make_instance();
  {
    StderrCapture capture;
    ASSERT_EQ(fmpg_open_file(h.get(), fixture("tone.flac").c_str()), 1);
    const std::string text = capture.text();
    EXPECT_TRUE(is_open_trace(text)) << text;
    EXPECT_NE(text, "metadata: (nil)");
  }
  fmpg_close(h.get());
  {
    // No container tags at all: a null dictionary, printed by %p.
    StderrCapture capture;
    ASSERT_EQ(fmpg_open_file(h.get(), fixture("notags.wav").c_str()), 1);
    char expected[64];
    std::snprintf(expected, sizeof expected, "metadata: %p", static_cast<void *>(nullptr));
    EXPECT_EQ(capture.text(), expected);
  }
}

TEST(Open, RefusedWhileOpenAndTheFileStays) {
  Instance h = make_instance();
  ASSERT_EQ(open_quietly(h.get(), fixture("tone.flac")), 1);
  StderrCapture capture;
  EXPECT_EQ(fmpg_open_file(h.get(), fixture("notags.wav").c_str()), 0);
  EXPECT_EQ(fmpg_open_file(h.get(), nullptr), 0);
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(fmpg_is_open(h.get()), 1);
  EXPECT_EQ(fmpg_audio_channels(h.get()), 2);
  EXPECT_STREQ(fmpg_file_title(h.get()), "Melvor Tone");
}

TEST(Open, NullPathOnAClosedInstanceChangesNothing) {
  Instance h = make_instance();
  StderrCapture capture;
  EXPECT_EQ(fmpg_open_file(h.get(), nullptr), 0);
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(fmpg_is_open(h.get()), 0);
  EXPECT_EQ(open_quietly(h.get(), fixture("tone.flac")), 1);
}

TEST(Close, ResetsEverythingAndAllowsAnotherFile) {
  Instance h = make_instance();
  ASSERT_EQ(open_quietly(h.get(), fixture("tone.flac")), 1);
  fmpg_close(h.get());
  EXPECT_EQ(fmpg_is_open(h.get()), 0);
  EXPECT_EQ(fmpg_audio_stream_count(h.get()), 0);
  EXPECT_EQ(fmpg_audio_sample_rate(h.get()), 0);
  EXPECT_EQ(fmpg_audio_channels(h.get()), 0);
  EXPECT_EQ(fmpg_duration_ms(h.get()), -1);
  EXPECT_EQ(fmpg_duration_samples(h.get()), -1);
  EXPECT_STREQ(fmpg_file_title(h.get()), "");
  EXPECT_EQ(fmpg_file_bitrate(h.get()), -1);
  fmpg_close(h.get());  // closing twice is harmless
  ASSERT_EQ(open_quietly(h.get(), fixture("surround51.flac")), 1);
  EXPECT_EQ(fmpg_audio_channels(h.get()), 6);
}

TEST(Open, SeparateInstancesHoldSeparateFiles) {
  Instance a = make_instance();
  Instance b = make_instance();
  ASSERT_EQ(open_quietly(a.get(), fixture("tone.flac")), 1);
  ASSERT_EQ(open_quietly(b.get(), fixture("index24.flac")), 1);
  fmpg_close(a.get());
  EXPECT_EQ(fmpg_audio_sample_rate(b.get()), 48000);
}

}  // namespace
