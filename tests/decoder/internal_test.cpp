// Internal operations that files cannot reach exactly: rounding, durations
// and the reading of tag values.
#include "instance.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

extern "C" {
#include <libavutil/dict.h>
}

namespace {

using melvor::milliseconds_from_seconds;
using melvor::samples_from_seconds;

TEST(Rounding, HalfUpWithMinusOneForNegative) {
  const struct {
    double seconds;
    int rate;
    int64_t ms;
    int64_t samples;
  } cases[] = {
      {0.0, 44100, 0, 0},
      {2.5, 44100, 2500, 110250},
      {183.456789, 44100, 183457, 8090444},
      {0.0005, 1000, 1, 1},          // exactly half a millisecond rounds up
      {5.0 / 1000.0, 44100, 5, 221},  // 220.5 samples round up
      {1.001, 44100, 1001, 44144},    // 44144.1
      {1.5, 48000, 1500, 72000},
      {-0.001, 44100, -1, -1},
      {-1.0, 44100, -1, -1},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(milliseconds_from_seconds(c.seconds), c.ms) << c.seconds;
    EXPECT_EQ(samples_from_seconds(c.seconds, c.rate), c.samples) << c.seconds;
  }
}

TEST(Rounding, RateAndOutOfRangeInput) {
  EXPECT_EQ(samples_from_seconds(1.0, 0), -1);
  EXPECT_EQ(samples_from_seconds(1.0, -44100), -1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(milliseconds_from_seconds(nan), -1);
  EXPECT_EQ(samples_from_seconds(nan, 44100), -1);
  EXPECT_EQ(milliseconds_from_seconds(1e300), INT64_MAX);
  EXPECT_EQ(samples_from_seconds(std::numeric_limits<double>::infinity(), 48000), INT64_MAX);
}

TEST(Durations, StreamAndContainer) {
  AVFormatContext *context = avformat_alloc_context();
  ASSERT_NE(context, nullptr);
  AVStream *stream = avformat_new_stream(context, nullptr);
  ASSERT_NE(stream, nullptr);

  stream->time_base = AVRational{1, 44100};
  stream->duration = 110250;
  EXPECT_DOUBLE_EQ(melvor::stream_duration_seconds(stream), 2.5);
  stream->duration = 0;  // zero is a duration, not a missing one
  EXPECT_DOUBLE_EQ(melvor::stream_duration_seconds(stream), 0.0);
  stream->duration = AV_NOPTS_VALUE;
  EXPECT_DOUBLE_EQ(melvor::stream_duration_seconds(stream), -1.0);
  EXPECT_DOUBLE_EQ(melvor::stream_duration_seconds(nullptr), -1.0);

  context->duration = 183456789;
  const double seconds = melvor::format_duration_seconds(context);
  EXPECT_EQ(milliseconds_from_seconds(seconds), 183457);
  EXPECT_EQ(samples_from_seconds(seconds, 44100), 8090444);
  context->duration = AV_NOPTS_VALUE;
  EXPECT_DOUBLE_EQ(melvor::format_duration_seconds(context), -1.0);
  EXPECT_DOUBLE_EQ(melvor::format_duration_seconds(nullptr), -1.0);

  EXPECT_EQ(melvor::count_audio_streams(nullptr), 0);
  EXPECT_EQ(melvor::count_audio_streams(context), 0);
  stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  EXPECT_EQ(melvor::count_audio_streams(context), 1);
  avformat_free_context(context);
}

struct Dict {
  AVDictionary *d = nullptr;
  ~Dict() { av_dict_free(&d); }
  Dict &set(const char *key, const char *value) {
    av_dict_set(&d, key, value, 0);
    return *this;
  }
};

TEST(TagValues, IntegersReadLikeAtoi) {
  const struct {
    const char *value;
    int expected;
  } cases[] = {
      {"2004-05-01", 2004}, {"abc", 0},   {"  7", 7},          {"-3", -3},
      {"3/12", 3},          {"", -1},     {"+12", 12},         {"99999999999", INT_MAX},
      {"-99999999999", INT_MIN},
  };
  for (const auto &c : cases) {
    Dict tags;
    tags.set("year", c.value);
    EXPECT_EQ(melvor::get_metadata_int(tags.d, nullptr, "year"), c.expected) << c.value;
  }
  Dict other;
  other.set("track", "5");
  EXPECT_EQ(melvor::get_metadata_int(other.d, nullptr, "year"), -1);
  EXPECT_EQ(melvor::get_metadata_int(nullptr, nullptr, "year"), -1);
}

TEST(TagValues, ContainerFirstThenStream) {
  Dict container, stream;
  container.set("TITLE", "from container").set("album", "");
  stream.set("title", "from stream").set("Album", "stream album").set("artist", "stream artist");
  EXPECT_EQ(melvor::get_metadata_string(container.d, stream.d, "title"), "from container");
  // An entry that exists in the container wins even when empty.
  EXPECT_EQ(melvor::get_metadata_string(container.d, stream.d, "album"), "");
  EXPECT_EQ(melvor::get_metadata_string(container.d, stream.d, "artist"), "stream artist");
  EXPECT_EQ(melvor::get_metadata_string(nullptr, stream.d, "ARTIST"), "stream artist");
  EXPECT_EQ(melvor::get_metadata_string(nullptr, nullptr, "title"), "");
  EXPECT_EQ(melvor::get_metadata_string(container.d, stream.d, "genre"), "");
}

TEST(TagValues, EmptyStringsShareOneStaticText) {
  const std::string empty;
  const std::string full = "x";
  EXPECT_EQ(melvor::string_c_str(empty), melvor::string_c_str(std::string()));
  EXPECT_STREQ(melvor::string_c_str(empty), "");
  EXPECT_EQ(melvor::string_c_str(full), full.c_str());
}

}  // namespace
