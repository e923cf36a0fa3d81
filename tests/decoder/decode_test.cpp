// Decoding whole files: the blocks against independent references, the end
// of the stream, damaged and changing streams, and the gates.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "decoding.h"
#include "plain_decode.h"

namespace {

// Lossless codecs are checked against Debian's ffmpeg, lossy ones against a
// plain FFmpeg 8 decode loop (other FFmpeg versions decode them differently).
enum class Reference { ffmpeg_tool, plain_loop };

struct WholeFile {
  const char *file;
  Reference reference;
  int rate;
  int channels;
  int64_t first_start;  // the stream's first sample index
  bool contiguous;      // each block begins where the one before ended
};

void PrintTo(const WholeFile &c, std::ostream *os) { *os << c.file; }

class WholeFileDecode : public ::testing::TestWithParam<WholeFile> {};

TEST_P(WholeFileDecode, MatchesTheReferenceBlockByBlock) {
  const WholeFile &c = GetParam();
  const std::string path = fixture(c.file);
  Instance h = open_instance(path);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(fmpg_sample_position(h.get()), 0);
  const Decoded d = decode_rest(h.get());
  expect_finished(h.get());
  ASSERT_EQ(d.rate, c.rate);
  ASSERT_EQ(d.channels, c.channels);
  ASSERT_FALSE(d.blocks.empty());
  EXPECT_EQ(d.first_start(), c.first_start);
  if (c.contiguous) {
    EXPECT_EQ(d.gaps, c.first_start == 0 ? 0 : 1);
    EXPECT_EQ(d.end_position, c.first_start + d.samples());
  }

  std::vector<int32_t> reference;
  if (c.reference == Reference::ffmpeg_tool) {
    reference = ffmpeg_s32(path);
  } else {
    plain::Result plain = plain::decode(path.c_str());
    ASSERT_TRUE(plain.ok);
    reference = std::move(plain.pcm);
  }
  ASSERT_EQ(d.pcm.size(), reference.size());
  EXPECT_TRUE(d.pcm == reference) << "largest difference "
                                  << largest_difference(d.pcm.data(), reference.data(),
                                                        reference.size());
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, WholeFileDecode,
    ::testing::Values(
        WholeFile{"tone.flac", Reference::ffmpeg_tool, 44100, 2, 0, true},
        WholeFile{"notags.wav", Reference::ffmpeg_tool, 44100, 1, 0, true},
        WholeFile{"tone24.wav", Reference::ffmpeg_tool, 44100, 2, 0, true},
        WholeFile{"tonef32.wav", Reference::ffmpeg_tool, 44100, 2, 0, true},
        WholeFile{"tone.wv", Reference::ffmpeg_tool, 44100, 2, 0, true},
        WholeFile{"tone_alac.m4a", Reference::ffmpeg_tool, 44100, 2, 0, true},
        WholeFile{"tone.tta", Reference::ffmpeg_tool, 44100, 2, 0, true},
        WholeFile{"index24.flac", Reference::ffmpeg_tool, 48000, 2, 0, true},
        WholeFile{"index16.wav", Reference::ffmpeg_tool, 44100, 1, 0, true},
        WholeFile{"surround51.flac", Reference::ffmpeg_tool, 48000, 6, 0, true},
        // only the audio of a file with video, only the best of two audio
        // streams (whose Matroska stamps begin at 11 ms)
        WholeFile{"av.mkv", Reference::ffmpeg_tool, 44100, 2, 0, true},
        WholeFile{"two_audio.mkv", Reference::ffmpeg_tool, 44100, 2, 485, true},
        // MP3 skips its encoder delay: the first sample is 1105
        WholeFile{"tone.mp3", Reference::plain_loop, 44100, 2, 1105, true},
        WholeFile{"tone.m4a", Reference::plain_loop, 44100, 2, 0, true},
        WholeFile{"tone.aac", Reference::plain_loop, 44100, 2, 0, true},
        WholeFile{"tone.ogg", Reference::plain_loop, 44100, 2, 0, true},
        WholeFile{"tone.opus", Reference::plain_loop, 48000, 2, 0, true},
        WholeFile{"tone.mp2", Reference::plain_loop, 44100, 2, 0, true},
        // raw AC-3 at 44.1 kHz: 90 kHz stamps drift by 2 samples now and then
        WholeFile{"tone.ac3", Reference::plain_loop, 44100, 2, 0, false},
        // millisecond stamps, placed on one continuous run
        WholeFile{"tone_aac.mkv", Reference::plain_loop, 44100, 2, 0, true},
        WholeFile{"tone.webm", Reference::plain_loop, 48000, 2, 0, true},
        // a cut file decodes what is there, then ends
        WholeFile{"truncated.flac", Reference::plain_loop, 44100, 2, 0, true},
        WholeFile{"truncated.mp3", Reference::plain_loop, 44100, 2, 1105, true}),
    [](const auto &info) { return test_name(info.param.file); });

TEST(Decode, SamplesEncodingTheirIndexSitAtThatIndex) {
  Instance h = open_instance(fixture("index24.flac"));
  ASSERT_NE(h, nullptr);
  const Decoded d = decode_rest(h.get());
  ASSERT_EQ(d.samples(), 144000);
  for (int64_t n = 0; n < d.samples(); n += 997) {
    const int32_t *v = d.at(n);
    ASSERT_NE(v, nullptr) << n;
    EXPECT_EQ(v[0], static_cast<int32_t>(n * 256)) << n;
    EXPECT_EQ(v[1], static_cast<int32_t>(-n * 256)) << n;
  }
}

TEST(Decode, BlockStorageIsReusedFromCallToCall) {
  Instance h = open_instance(fixture("tone.flac"));
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  const uint8_t *first = fmpg_buffer(h.get());
  const int64_t size = fmpg_buffer_size(h.get());
  int calls = 0;
  while (fmpg_decode_next(h.get()) == 1) {
    // FLAC blocks all have one size but the last, a smaller one
    ASSERT_LE(fmpg_buffer_size(h.get()), size);
    EXPECT_EQ(fmpg_buffer(h.get()), first);
    ++calls;
  }
  EXPECT_GT(calls, 20);
}

// A host stops at the first 0, so a damaged packet must not give one.
TEST(Decode, DamagedDataInTheMiddleIsSkipped) {
  const std::string path = fixture("garbage.mp3");
  Instance h = open_instance(path);
  ASSERT_NE(h, nullptr);
  const Decoded d = decode_rest(h.get());
  expect_finished(h.get());
  // 2 s of audio, the garbage cost one frame of it
  EXPECT_GT(d.end_position, 2 * 44100 - 2 * 1152);
  EXPECT_EQ(d.gaps, 2);  // the start at 1105, and the frame lost to the noise
  const plain::Result plain = plain::decode(path.c_str());
  ASSERT_TRUE(plain.ok);
  EXPECT_TRUE(d.pcm == plain.pcm);
}

double rms(const int32_t *values, size_t count) {
  double sum = 0;
  for (size_t i = 0; i < count; ++i) sum += static_cast<double>(values[i]) * values[i];
  return std::sqrt(sum / static_cast<double>(count));
}

struct JoinedCase {
  const char *file;
  int rate;      // what the stream parameters report
  int channels;  // the same
  double seconds;  // each half keeps its encoder's priming and padding
};

// Two files joined with cat: the second half has another rate or layout
// than the stream reports. Every block has the reported layout, the join is
// crossed, and the second half is audio of the same loudness, not noise or
// silence.
TEST(Decode, StreamsThatChangePartWayKeepTheReportedLayout) {
  const JoinedCase cases[] = {
      {"joined.mp3", 48000, 2, 1.25},  // 44.1 kHz, then 48 kHz
      {"joined.aac", 44100, 1, 1.07},  // mono, then stereo
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file);
    Instance h = open_instance(fixture(c.file));
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(fmpg_audio_sample_rate(h.get()), c.rate);
    ASSERT_EQ(fmpg_audio_channels(h.get()), c.channels);
    const Decoded d = decode_rest(h.get());  // checks every block's size
    expect_finished(h.get());
    EXPECT_NEAR(static_cast<double>(d.end_position) / c.rate, c.seconds, 0.06);
    EXPECT_NEAR(static_cast<double>(d.samples()) / c.rate, c.seconds, 0.06);
    const size_t quarter = d.pcm.size() / 4;
    const double first = rms(d.pcm.data() + quarter / 2, quarter);
    const double second = rms(d.pcm.data() + 2 * quarter + quarter / 2, quarter);
    EXPECT_GT(first, 1e8);
    EXPECT_NEAR(second / first, 1.0, 0.5);
  }
}

// The samples per rate of the frames FFmpeg decodes from the file's best
// audio stream, before any conversion.
std::map<int, int64_t> frame_samples_by_rate(const std::string &path) {
  std::map<int, int64_t> counts;
  AVFormatContext *format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return counts;
  const int index = avformat_find_stream_info(format, nullptr) < 0
                        ? -1
                        : av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  const AVCodec *codec =
      index < 0 ? nullptr : avcodec_find_decoder(format->streams[index]->codecpar->codec_id);
  AVCodecContext *context = codec == nullptr ? nullptr : avcodec_alloc_context3(codec);
  AVPacket *packet = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  if (context != nullptr && packet != nullptr && frame != nullptr &&
      avcodec_parameters_to_context(context, format->streams[index]->codecpar) >= 0 &&
      avcodec_open2(context, codec, nullptr) >= 0) {
    bool more = true;
    while (more) {
      more = av_read_frame(format, packet) >= 0;
      if (more && packet->stream_index != index) {
        av_packet_unref(packet);
        continue;
      }
      avcodec_send_packet(context, more ? packet : nullptr);
      av_packet_unref(packet);
      while (avcodec_receive_frame(context, frame) >= 0) {
        counts[frame->sample_rate] += frame->nb_samples;
        av_frame_unref(frame);
      }
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  avformat_close_input(&format);
  return counts;
}

// ADTS at 44.1 kHz, then at 48 kHz to the end: the stream reports 44100, so
// its last part is resampled, and what the resampler holds back at the end
// must come out too. The count is what the codec gave at each rate, the
// second part converted, to within the converter's rounding.
TEST(Decode, AResampledEndIsDrained) {
  const std::string path = fixture("joined_rate.aac");
  const std::map<int, int64_t> frames = frame_samples_by_rate(path);
  ASSERT_EQ(frames.size(), 2u);
  Instance h = open_instance(path);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(fmpg_audio_sample_rate(h.get()), 44100);
  const Decoded d = decode_rest(h.get());
  expect_finished(h.get());
  const double expected = frames.at(44100) + frames.at(48000) * 44100.0 / 48000.0;
  EXPECT_NEAR(static_cast<double>(d.samples()), expected, 1.0);
  EXPECT_EQ(d.end_position, d.samples());
}

// The codec refuses one frame of index_lost.mkv (FLAC in Matroska whose
// samples encode their own index: left n << 8). The blocks after it start
// where their audio belongs, one frame after where the one before ended.
TEST(Decode, AFrameTheCodecRefusesLeavesAGapOfItsLength) {
  Instance h = open_instance(fixture("index_lost.mkv"));
  ASSERT_NE(h, nullptr);
  Decoded d;
  {
    StderrCapture quiet;
    d = decode_rest(h.get());
  }
  expect_finished(h.get());
  EXPECT_EQ(d.gaps, 1);
  EXPECT_EQ(d.samples(), 48000 - 4608);
  EXPECT_EQ(d.end_position, 48000);
  int64_t misplaced = 0;
  for (const Decoded::Block &b : d.blocks) {
    for (int64_t i = 0; i < b.samples; ++i) {
      if (d.pcm[b.offset + static_cast<size_t>(i) * 2] >> 8 != b.start + i) ++misplaced;
    }
  }
  EXPECT_EQ(misplaced, 0) << "samples whose position is not their index";
}

// A few good AAC frames, then noise in which the ADTS demuxer finds frames
// that the decoder refuses: the good ones play, and decoding ends.
TEST(Decode, GarbageThatOpensEndsWithoutHanging) {
  Instance h = open_instance(fixture("garbage_tail.aac"));
  ASSERT_NE(h, nullptr);
  const Decoded d = decode_rest(h.get(), 1000);
  expect_finished(h.get());
  EXPECT_GE(d.samples(), 4 * 1024);
}

// Noise that no demuxer takes for audio: nothing opens, nothing decodes.
TEST(Decode, GarbageThatDoesNotOpenGivesNothing) {
  Instance h(fmpg_init());
  ASSERT_NE(h, nullptr);
  {
    StderrCapture quiet;
    EXPECT_EQ(fmpg_open_file(h.get(), fixture("random.bin").c_str()), 0);
  }
  EXPECT_EQ(fmpg_is_open(h.get()), 0);
  EXPECT_EQ(fmpg_decode_next(h.get()), 0);
  EXPECT_EQ(fmpg_buffer(h.get()), nullptr);
}

TEST(Decode, ClosedOrNeverOpenedInstancesGiveNothing) {
  EXPECT_EQ(fmpg_decode_next(nullptr), 0);
  Instance h(fmpg_init());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(fmpg_decode_next(h.get()), 0);
  {
    StderrCapture quiet;
    ASSERT_EQ(fmpg_open_file(h.get(), fixture("tone.flac").c_str()), 1);
  }
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  EXPECT_GT(fmpg_timecode(h.get()), 0.0);
  fmpg_close(h.get());
  EXPECT_EQ(fmpg_decode_next(h.get()), 0);
  // the reset values
  EXPECT_EQ(fmpg_buffer(h.get()), nullptr);
  EXPECT_EQ(fmpg_buffer_size(h.get()), 0);
  EXPECT_EQ(fmpg_buffer_samples(h.get()), 0);
  EXPECT_EQ(fmpg_buffer_start_sample(h.get()), 0);
  EXPECT_EQ(fmpg_buffer_end_sample(h.get()), 0);
  EXPECT_EQ(fmpg_sample_position(h.get()), 0);
  EXPECT_EQ(fmpg_timecode(h.get()), 0.0);
}

TEST(Decode, ReadCallsOnANullHandle) {
  EXPECT_EQ(fmpg_buffer(nullptr), nullptr);
  EXPECT_EQ(fmpg_buffer_size(nullptr), 0);
  EXPECT_EQ(fmpg_buffer_samples(nullptr), 0);
  EXPECT_EQ(fmpg_buffer_start_sample(nullptr), 0);
  EXPECT_EQ(fmpg_buffer_end_sample(nullptr), 0);
  EXPECT_EQ(fmpg_sample_position(nullptr), 0);
  EXPECT_EQ(fmpg_timecode(nullptr), 0.0);
}

TEST(Decode, ReopeningStartsAfresh) {
  Instance h = open_instance(fixture("index24.flac"));
  ASSERT_NE(h, nullptr);
  decode_rest(h.get());
  fmpg_close(h.get());
  {
    StderrCapture quiet;
    ASSERT_EQ(fmpg_open_file(h.get(), fixture("index24.flac").c_str()), 1);
  }
  EXPECT_EQ(fmpg_sample_position(h.get()), 0);
  ASSERT_EQ(fmpg_decode_next(h.get()), 1);
  EXPECT_EQ(fmpg_buffer_start_sample(h.get()), 0);
  EXPECT_EQ(reinterpret_cast<const int32_t *>(fmpg_buffer(h.get()))[2], 256);
}

}  // namespace
