// Frame conversion and the decode loop from the inside: frames made here
// with chosen stamps, sizes and formats go through append_converted_frame;
// codec errors that files cannot provoke are provoked on a real instance.
#include "instance.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "stderr_capture.h"

namespace {

struct InstanceDeleter {
  void operator()(fmpg_instance *h) const { fmpg_free(h); }
};
using Instance = std::unique_ptr<fmpg_instance, InstanceDeleter>;

Instance open_fixture(const char *name) {
  Instance h(fmpg_init());
  StderrCapture quiet;
  if (h == nullptr || fmpg_open_file(h.get(), fixture(name).c_str()) != 1) {
    ADD_FAILURE() << "cannot open " << name;
    return nullptr;
  }
  return h;
}

// A frame whose sample k holds first_value + k in every channel.
melvor::frame_ptr make_frame(AVSampleFormat format, int rate, int channels, int samples,
                             int64_t stamp, int first_value = 0) {
  melvor::frame_ptr frame(av_frame_alloc());
  frame->format = format;
  frame->sample_rate = rate;
  av_channel_layout_default(&frame->ch_layout, channels);
  frame->nb_samples = samples;
  frame->pts = stamp;
  frame->best_effort_timestamp = stamp;
  if (samples == 0) return frame;
  EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  for (int c = 0; c < channels; ++c) {
    for (int k = 0; k < samples; ++k) {
      const int value = first_value + k;
      const int plane = planar ? c : 0;
      const int slot = planar ? k : k * channels + c;
      switch (format) {
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P:
          reinterpret_cast<int16_t *>(frame->extended_data[plane])[slot] =
              static_cast<int16_t>(value);
          break;
        case AV_SAMPLE_FMT_S32P:
          reinterpret_cast<int32_t *>(frame->extended_data[plane])[slot] = value << 16;
          break;
        case AV_SAMPLE_FMT_FLTP:
          reinterpret_cast<float *>(frame->extended_data[plane])[slot] = value / 32768.0f;
          break;
        default:
          ADD_FAILURE() << "no filler for format " << format;
      }
    }
  }
  return frame;
}

// An s16 stereo frame at the rate of tone.flac, which the resampler takes
// as it is: sample k becomes (first_value + k) << 16.
melvor::frame_ptr plain_frame(int samples, int64_t stamp, int first_value = 0) {
  return make_frame(AV_SAMPLE_FMT_S16, 44100, 2, samples, stamp, first_value);
}

int32_t first_left(const __fmpg_instance__ *h) {
  return reinterpret_cast<const int32_t *>(h->decoder.output.data())[0];
}

// tone.flac: 44.1 kHz stereo, s16 from its codec. The decoding state is
// set as a test needs it; the stream's time base too.
class FrameConversion : public ::testing::Test {
 protected:
  void SetUp() override {
    instance_ = open_fixture("tone.flac");
    ASSERT_NE(instance_, nullptr);
    h = instance_.get();
  }
  void set_time_base(int num, int den) { melvor::selected_stream(h)->time_base = AVRational{num, den}; }
  bool append(const melvor::frame_ptr &frame) { return melvor::append_converted_frame(h, frame.get()); }

  Instance instance_;
  __fmpg_instance__ *h = nullptr;
};

TEST_F(FrameConversion, PlacedByTimestampOrContinuing) {
  const struct {
    const char *name;
    AVRational time_base;
    int64_t stamp;
    int64_t expected;
  } cases[] = {
      {"1/44100", {1, 44100}, 88200, 88200},
      {"1/1000", {1, 1000}, 1500, 66150},
      {"no timestamp", {1, 44100}, AV_NOPTS_VALUE, 500},
      {"before 0", {1, 44100}, -100, 500},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    decoder_storage &dec = h->decoder;
    dec.clear_output();
    dec.sample_position = 500;
    dec.frame_placed = false;
    set_time_base(c.time_base.num, c.time_base.den);
    ASSERT_TRUE(append(plain_frame(300, c.stamp, 7)));
    EXPECT_EQ(dec.buffer_start_sample, c.expected);
    EXPECT_EQ(dec.buffer_samples, 300);
    EXPECT_EQ(dec.output.size(), 300u * 2 * 4);
    EXPECT_EQ(dec.sample_position, c.expected + 300);
    EXPECT_EQ(dec.timecode, c.expected / 44100.0);
    EXPECT_EQ(first_left(h), 7 << 16);
  }
}

TEST_F(FrameConversion, TrimmedAgainstAPendingSeekTarget) {
  const struct {
    int64_t start;
    int64_t kept_from;  // -1: dropped whole
    int64_t kept;
  } cases[] = {
      {800, -1, 0},      // ends at the target
      {900, 1000, 100},  // straddles it
      {1000, 1000, 200}, // begins at it
      {1050, 1050, 200}, // begins after it
  };
  set_time_base(1, 44100);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.start);
    decoder_storage &dec = h->decoder;
    dec.output.clear();
    dec.buffer_samples = 0;
    dec.buffer_start_sample = 1000;
    dec.sample_position = 1000;
    dec.seek_target_sample = 1000;
    dec.timecode = 0.25;
    dec.frame_placed = false;
    ASSERT_TRUE(append(plain_frame(200, c.start)));
    if (c.kept_from < 0) {
      EXPECT_TRUE(dec.output.empty());
      EXPECT_EQ(dec.sample_position, 1000);
      EXPECT_EQ(dec.seek_target_sample, 1000);
      EXPECT_EQ(dec.buffer_start_sample, 1000);
      EXPECT_EQ(dec.timecode, 0.25);
      continue;
    }
    EXPECT_EQ(dec.seek_target_sample, -1);
    EXPECT_EQ(dec.buffer_start_sample, c.kept_from);
    EXPECT_EQ(dec.buffer_samples, c.kept);
    EXPECT_EQ(dec.sample_position, c.kept_from + c.kept);
    EXPECT_EQ(dec.timecode, c.kept_from / 44100.0);
    EXPECT_EQ(first_left(h), static_cast<int32_t>(c.kept_from - c.start) << 16);
  }
}

// A codec's priming frame, stamped before 0, comes back after a seek to the
// start: it must be trimmed, not played at the target.
TEST_F(FrameConversion, StampBeforeZeroKeepsItsIndexWhileSeeking) {
  set_time_base(1, 44100);
  decoder_storage &dec = h->decoder;
  dec.seek_target_sample = 0;
  ASSERT_TRUE(append(plain_frame(960, -312)));
  EXPECT_EQ(dec.buffer_start_sample, 0);
  EXPECT_EQ(dec.buffer_samples, 648);
  EXPECT_EQ(first_left(h), 312 << 16);

  // without a pending target it continues at the position
  dec.clear_output();
  dec.sample_position = 0;
  ASSERT_TRUE(append(plain_frame(960, -312)));
  EXPECT_EQ(dec.buffer_start_sample, 0);
  EXPECT_EQ(dec.buffer_samples, 960);
  EXPECT_EQ(first_left(h), 0);
}

TEST_F(FrameConversion, FramesWithAGapShareOneBlock) {
  set_time_base(1, 44100);
  ASSERT_TRUE(append(plain_frame(100, 0)));
  ASSERT_TRUE(append(plain_frame(100, 110)));
  const decoder_storage &dec = h->decoder;
  EXPECT_EQ(dec.buffer_start_sample, 0);
  EXPECT_EQ(dec.buffer_samples, 200);
  EXPECT_EQ(dec.output.size(), 200u * 2 * 4);
  EXPECT_EQ(fmpg_buffer_end_sample(h), 200);
  EXPECT_EQ(fmpg_sample_position(h), 210);
}

// Millisecond stamps at 44.1 kHz: a tick is 45 samples.
TEST_F(FrameConversion, CoarseStampsContinueWithinATick) {
  set_time_base(1, 1000);
  EXPECT_EQ(melvor::tick_samples(melvor::selected_stream(h), 44100), 45);
  const decoder_storage &dec = h->decoder;
  ASSERT_TRUE(append(plain_frame(1024, 0)));
  ASSERT_TRUE(append(plain_frame(1024, 23)));  // 1014, 10 before the position
  EXPECT_EQ(dec.sample_position, 2048);
  ASSERT_TRUE(append(plain_frame(1024, 100)));  // 4410: a real jump
  EXPECT_EQ(dec.sample_position, 4410 + 1024);
  EXPECT_EQ(dec.buffer_samples, 3 * 1024);
}

// After a seek, the first frame's millisecond stamp snaps onto the grid of
// the equal frames before it, when that is within a tick.
TEST_F(FrameConversion, FirstFrameAfterASeekSnapsToTheFrameGrid) {
  const struct {
    const char *name;
    std::vector<int> sizes;  // frames decoded before the seek
    int64_t expected_position;
  } cases[] = {
      {"equal frames", {1024, 1024, 1024}, 34 * 1024 + 1024},
      // an odd frame in the middle: no grid, the stamp stands
      {"sizes differ", {1024, 1024, 500, 1024}, 34795 + 1024},
  };
  set_time_base(1, 1000);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Instance fresh = open_fixture("tone.flac");
    ASSERT_NE(fresh, nullptr);
    __fmpg_instance__ *f = fresh.get();
    melvor::selected_stream(f)->time_base = AVRational{1, 1000};
    int64_t at = 0;
    for (int size : c.sizes) {
      ASSERT_TRUE(melvor::append_converted_frame(f, plain_frame(size, at * 1000 / 44100).get()));
      at += size;
    }
    ASSERT_EQ(fmpg_seek_ms(f, 900), 1);  // target 39690
    // 789 ms is sample 34794.9; frame 34 begins at 34816
    ASSERT_TRUE(melvor::append_converted_frame(f, plain_frame(1024, 789).get()));
    EXPECT_TRUE(f->decoder.output.empty());
    EXPECT_EQ(f->decoder.sample_position, c.expected_position);
  }
}

TEST_F(FrameConversion, EmptyFrameChangesNothing) {
  decoder_storage &dec = h->decoder;
  dec.sample_position = 77;
  ASSERT_TRUE(append(make_frame(AV_SAMPLE_FMT_S16, 44100, 2, 0, 1000)));
  EXPECT_TRUE(dec.output.empty());
  EXPECT_EQ(dec.sample_position, 77);
  EXPECT_EQ(dec.buffer_start_sample, 0);
  EXPECT_FALSE(dec.frame_placed);
}

// Frames in other formats, rates and layouts than the resampler was made
// for: each gets a resampler of its own, the output stays 44.1 kHz stereo,
// and no conversion reads planes a frame does not have (the sanitizer run
// would see it).
TEST_F(FrameConversion, FormatChangesReconfigureTheResampler) {
  const struct {
    const char *name;
    AVSampleFormat format;
    int rate;
    int channels;
    int samples;
  } frames[] = {
      {"s16 stereo", AV_SAMPLE_FMT_S16, 44100, 2, 1024},
      {"float mono at 22.05 kHz", AV_SAMPLE_FMT_FLTP, 22050, 1, 512},
      {"s32 planar 5.1", AV_SAMPLE_FMT_S32P, 44100, 6, 256},
      {"s16 planar mono at 48 kHz", AV_SAMPLE_FMT_S16P, 48000, 1, 960},
      {"s16 stereo again", AV_SAMPLE_FMT_S16, 44100, 2, 1024},
  };
  set_time_base(1, 44100);
  decoder_storage &dec = h->decoder;
  int64_t time = 0;  // of the next frame, at 44.1 kHz
  for (const auto &f : frames) {
    SCOPED_TRACE(f.name);
    const int64_t before = dec.buffer_samples;
    ASSERT_TRUE(append(make_frame(f.format, f.rate, f.channels, f.samples, time, 100)));
    time += static_cast<int64_t>(f.samples) * 44100 / f.rate;
    EXPECT_EQ(dec.resampler_in_format, f.format);
    EXPECT_EQ(dec.resampler_in_rate, f.rate);
    EXPECT_EQ(dec.resampler_in_layout.get().nb_channels, f.channels);
    EXPECT_GT(dec.buffer_samples, before);
    EXPECT_EQ(dec.output.size(), static_cast<size_t>(dec.buffer_samples) * 2 * 4);
    // what the resampler still held came out before the next frame, so
    // the positions follow on
    EXPECT_EQ(fmpg_buffer_end_sample(h), dec.sample_position);
  }
  EXPECT_NEAR(static_cast<double>(dec.sample_position), static_cast<double>(time), 64);
}

TEST(GrowBlock, TheBlockNeverPassesIntMax) {
  decoder_storage storage;
  EXPECT_TRUE(melvor::grow_block(storage, 0));
  EXPECT_TRUE(storage.output.empty());
  EXPECT_FALSE(melvor::grow_block(storage, static_cast<uint64_t>(INT_MAX) + 1));
  EXPECT_TRUE(storage.output.empty());
  ASSERT_TRUE(melvor::grow_block(storage, 8));
  storage.output[7] = 8;
  EXPECT_FALSE(melvor::grow_block(storage, static_cast<uint64_t>(INT_MAX) - 7));
  EXPECT_EQ(storage.output.size(), 8u);
  EXPECT_EQ(storage.output[7], 8);
}

TEST(Timestamps, ToSamplesAndTicks) {
  AVFormatContext *context = avformat_alloc_context();
  ASSERT_NE(context, nullptr);
  AVStream *stream = avformat_new_stream(context, nullptr);
  ASSERT_NE(stream, nullptr);
  const struct {
    AVRational time_base;
    int64_t stamp;
    int rate;
    int64_t samples;
    int64_t tick;
  } cases[] = {
      {{1, 1000}, 1500, 44100, 66150, 45},
      {{1, 44100}, 88200, 44100, 88200, 1},
      {{1, 14112000}, 14112000, 48000, 48000, 1},
      {{1, 90000}, 3134, 44100, 1536, 1},  // 1535.66
      {{1, 1000}, -1, 44100, -1, 45},
      {{1, 1000}, AV_NOPTS_VALUE, 44100, -1, 45},
      {{1, 1000}, 1000, 0, -1, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.stamp << " in 1/" << c.time_base.den << " at " << c.rate);
    stream->time_base = c.time_base;
    EXPECT_EQ(melvor::timestamp_to_samples(c.stamp, stream, c.rate), c.samples);
    EXPECT_EQ(melvor::tick_samples(stream, c.rate), c.tick);
  }
  EXPECT_EQ(melvor::timestamp_to_samples(1000, nullptr, 44100), -1);
  avformat_free_context(context);
}

// Codec errors other than damaged data end the call with 0; the next call
// goes on. FLAC blocks here are one packet of 4608 samples each.
TEST(DecodeLoop, CodecErrorsGiveZeroAndDecodingGoesOn) {
  Instance instance = open_fixture("index24.flac");
  ASSERT_NE(instance, nullptr);
  __fmpg_instance__ *h = instance.get();
  ASSERT_EQ(fmpg_decode_next(h), 1);
  EXPECT_EQ(fmpg_buffer_start_sample(h), 0);

  // receiving fails: a codec context that was never opened
  melvor::codec_context_ptr unopened(avcodec_alloc_context3(nullptr));
  ASSERT_NE(unopened, nullptr);
  std::swap(h->decoder.codec_context, unopened);
  EXPECT_EQ(fmpg_decode_next(h), 0);
  EXPECT_EQ(fmpg_buffer(h), nullptr);
  std::swap(h->decoder.codec_context, unopened);
  ASSERT_EQ(fmpg_decode_next(h), 1);
  EXPECT_EQ(fmpg_buffer_start_sample(h), 4608);  // nothing lost

  // sending fails: the codec was told the stream had ended
  AVCodecContext *codec = h->decoder.codec_context.get();
  ASSERT_GE(avcodec_send_packet(codec, nullptr), 0);
  EXPECT_EQ(fmpg_decode_next(h), 0);
  avcodec_flush_buffers(codec);
  h->decoder.decoder_eof = false;  // set by the codec's end above, not by the file
  ASSERT_EQ(fmpg_decode_next(h), 1);
  EXPECT_EQ(fmpg_buffer_start_sample(h), 3 * 4608);  // the refused packet is dropped
  EXPECT_EQ(reinterpret_cast<const int32_t *>(fmpg_buffer(h))[0], 3 * 4608 * 256);
}

}  // namespace
