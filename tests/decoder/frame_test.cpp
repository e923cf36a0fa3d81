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

// The stream's first frame goes where its timestamp says; a frame without
// one, or stamped before 0 (a codec's priming it keeps), plays from 0.
TEST_F(FrameConversion, TheFirstFrameGoesWhereItsTimestampSays) {
  const struct {
    const char *name;
    AVRational time_base;
    int64_t stamp;
    int64_t expected;
  } cases[] = {
      {"1/44100", {1, 44100}, 88200, 88200},
      {"1/1000", {1, 1000}, 1500, 66150},
      {"no timestamp", {1, 44100}, AV_NOPTS_VALUE, 0},
      {"before 0", {1, 44100}, -100, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    decoder_storage &dec = h->decoder;
    dec.begin_at(500, 0.0, {}, melvor::placement::stream_start);
    dec.seek_target_sample = -1;
    set_time_base(c.time_base.num, c.time_base.den);
    ASSERT_TRUE(append(plain_frame(300, c.stamp, 7)));
    EXPECT_EQ(dec.buffer_start_sample, c.expected);
    EXPECT_EQ(dec.buffer_samples, 300);
    EXPECT_EQ(dec.output.size(), 300u * 2 * 4);
    EXPECT_EQ(dec.sample_position, c.expected + 300);
    EXPECT_EQ(dec.timecode, c.expected / 44100.0);
    EXPECT_EQ(first_left(h), 7 << 16);
    // the next frame follows on, whatever its stamp says within a frame
    ASSERT_TRUE(append(plain_frame(300, AV_NOPTS_VALUE)));
    EXPECT_EQ(dec.sample_position, c.expected + 600);
  }
}

// The seek trimming, on frames placed at the stream's start.
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
    dec.begin_at(1000, 0.25, {}, melvor::placement::stream_start);
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

// Positions count samples; a timestamp moves them only when it runs ahead
// by more than the timestamps' own unsteadiness (and by more than a frame
// unless the codec or demuxer lost audio), and never backwards.
TEST_F(FrameConversion, TimestampsMoveThePositionOnlyForMissingAudio) {
  const struct {
    const char *name;
    AVRational time_base;
    std::vector<int64_t> stamps;  // of 1024-sample frames
    bool loss_before_last;
    int64_t last_start;
  } cases[] = {
      {"exact stamps", {1, 44100}, {0, 1024, 2048}, false, 2048},
      {"millisecond stamps", {1, 1000}, {0, 23, 46, 70}, false, 3072},
      {"stamps behind the count", {1, 44100}, {0, 1024, 100}, false, 2048},
      {"a jump of half a frame", {1, 44100}, {0, 1024, 2560}, false, 2048},
      {"a jump of three frames", {1, 44100}, {0, 1024, 5120}, false, 5120},
      {"one frame lost", {1, 44100}, {0, 1024, 3072}, true, 3072},
      {"wandering stamps, one frame lost", {1, 1000}, {0, 23, 46, 93}, true, 4096},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    decoder_storage &dec = h->decoder;
    dec.begin_at(0, 0.0, {}, melvor::placement::stream_start);
    dec.seek_target_sample = -1;
    set_time_base(c.time_base.num, c.time_base.den);
    for (size_t i = 0; i < c.stamps.size(); ++i) {
      if (i + 1 == c.stamps.size()) {
        dec.clock.run.loss_noted = c.loss_before_last;
        dec.clear_output();
      }
      ASSERT_TRUE(append(plain_frame(1024, c.stamps[i])));
    }
    EXPECT_EQ(dec.buffer_start_sample, c.last_start);
  }
}

TEST_F(FrameConversion, FramesWithAGapShareOneBlock) {
  set_time_base(1, 44100);
  ASSERT_TRUE(append(plain_frame(100, 0)));
  ASSERT_TRUE(append(plain_frame(100, 1000)));
  const decoder_storage &dec = h->decoder;
  EXPECT_EQ(dec.buffer_start_sample, 0);
  EXPECT_EQ(dec.buffer_samples, 200);
  EXPECT_EQ(dec.output.size(), 200u * 2 * 4);
  EXPECT_EQ(fmpg_buffer_end_sample(h), 200);
  EXPECT_EQ(fmpg_sample_position(h), 1100);
}

// After a seek, frames made from packets before the anchor only settle the
// codec; the anchor packet's first frame goes to the anchor's index.
TEST_F(FrameConversion, FramesBeforeTheAnchorSettleTheCodecOnly) {
  set_time_base(1, 44100);
  decoder_storage &dec = h->decoder;
  const uint64_t before = dec.clock.record(0, true);
  const uint64_t anchor = dec.clock.record(1024, true);
  dec.begin_at(5000, 0.1, {}, melvor::placement::anchoring, anchor, 4096);
  melvor::frame_ptr settling = plain_frame(1024, 0);
  settling->opaque = reinterpret_cast<void *>(static_cast<uintptr_t>(before));
  ASSERT_TRUE(append(settling));
  EXPECT_TRUE(dec.output.empty());
  EXPECT_EQ(dec.sample_position, 5000);
  melvor::frame_ptr anchored = plain_frame(1024, 1024);
  anchored->opaque = reinterpret_cast<void *>(static_cast<uintptr_t>(anchor));
  ASSERT_TRUE(append(anchored));
  EXPECT_EQ(dec.buffer_start_sample, 5000);  // 4096 + 1024 reaches past the target
  EXPECT_EQ(dec.buffer_samples, 120);
  EXPECT_EQ(first_left(h), 904 << 16);
  EXPECT_EQ(dec.clock.mode, melvor::placement::counting);
}

// Labels to indices, learned from packets placed by counting. `labels` and
// `sizes` describe consecutive packets after the stream's first; the
// questions ask the index of a label.
TEST(LabelModel, MapsLabelsWhereTheyTellAPacketExactly) {
  struct question {
    int64_t label;
    int64_t index;  // -1: cannot be told
  };
  const struct {
    const char *name;
    AVRational time_base;
    int rate;
    std::vector<int64_t> sizes;
    std::vector<int64_t> labels;
    std::vector<question> questions;
  } cases[] = {
      {"sample labels", {1, 44100}, 44100, {1024, 1024, 1024}, {1024, 2048, 3072},
       {{1024000, 1024000}, {4095, 4095}}},
      // MP3: labels in 1/14112000, 320 ticks a sample
      {"fine labels", {1, 14112000}, 44100, {1152, 1152, 1152}, {368640, 737280, 1105920},
       {{368640 * 1000, 1152000}, {368641, 1152}}},
      // AC-3 at 44.1 kHz: 1536 samples are 3134.7 ticks of 90 kHz; the
      // demuxer adds 3135 a packet, so the labels drift off the samples
      {"added up ticks", {1, 90000}, 44100, {1536, 1536, 1536}, {3135, 6270, 9405},
       {{3135 * 10000, 1536 * 10000}, {3135 * 10000 + 1, -1}}},
      // AAC in Matroska: milliseconds rounded from the samples
      {"rounded milliseconds", {1, 1000}, 44100, {1024, 1024, 1024, 1024}, {23, 46, 70, 93},
       {{232200, 10000 * 1024}, {232199, 10000 * 1024}, {232246, 10002 * 1024}}},
      // Vorbis in Matroska: packets of 128, 576 or 1024 samples, on a grid of
      // 64, and half a millisecond is less than 32 samples
      {"rounded, sizes vary", {1, 1000}, 44100, {128, 576, 1024, 1024, 576, 128, 576, 1024},
       {3, 16, 39, 62, 75, 78, 91, 115}, {{22674, 15624 * 64}}},
      // the same at 96 kHz: a millisecond spans 96 samples, more than the grid
      {"rounded, too coarse", {1, 1000}, 96000, {128, 576, 1024, 1024}, {1, 7, 18, 29},
       {{5000, -1}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    melvor::label_model model;
    model.reset(c.time_base, c.rate);
    EXPECT_EQ(model.index_of(c.labels[0]), -1);  // nothing learned yet
    model.observe(1, 0, 0, true);
    int64_t index = c.sizes[0];
    for (size_t i = 0; i < c.labels.size(); ++i) {
      model.observe(2 + i, c.labels[i], index, false);
      if (i + 1 < c.sizes.size()) index += c.sizes[i + 1];
    }
    for (const question &q : c.questions) {
      SCOPED_TRACE(q.label);
      EXPECT_EQ(model.index_of(q.label), q.index);
    }
  }
}

TEST_F(FrameConversion, EmptyFrameChangesNothing) {
  decoder_storage &dec = h->decoder;
  dec.sample_position = 77;
  ASSERT_TRUE(append(make_frame(AV_SAMPLE_FMT_S16, 44100, 2, 0, 1000)));
  EXPECT_TRUE(dec.output.empty());
  EXPECT_EQ(dec.sample_position, 77);
  EXPECT_EQ(dec.buffer_start_sample, 0);
  EXPECT_EQ(dec.clock.mode, melvor::placement::stream_start);
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
