// The decoder instance and its three storage records.
#ifndef MELVOR_INSTANCE_H
#define MELVOR_INSTANCE_H

#include "melvor.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libavutil/frame.h>
}

namespace melvor {

// Deleters that hand each FFmpeg object back to FFmpeg's own free function.
struct format_context_closer {
  void operator()(AVFormatContext *p) const { avformat_close_input(&p); }
};
struct codec_context_freer {
  void operator()(AVCodecContext *p) const { avcodec_free_context(&p); }
};
struct frame_freer {
  void operator()(AVFrame *p) const { av_frame_free(&p); }
};
struct resampler_freer {
  void operator()(SwrContext *p) const { swr_free(&p); }
};
struct packet_freer {
  void operator()(AVPacket *p) const { av_packet_free(&p); }
};

using format_context_ptr = std::unique_ptr<AVFormatContext, format_context_closer>;
using codec_context_ptr = std::unique_ptr<AVCodecContext, codec_context_freer>;
using frame_ptr = std::unique_ptr<AVFrame, frame_freer>;
using resampler_ptr = std::unique_ptr<SwrContext, resampler_freer>;
using packet_ptr = std::unique_ptr<AVPacket, packet_freer>;

}  // namespace melvor

struct file_info_storage {
  std::string title;
  std::string author;
  std::string album;
  std::string genre;
  std::string comment;
  std::string copyright;
  int32_t year = -1;
  int32_t track = -1;
  int32_t bitrate = -1;

  void clear();
};

struct audio_info_storage {
  int32_t audio_stream_count = 0;
  int32_t stream_index = -1;
  int32_t sample_rate = 0;
  int32_t channels = 0;
  int64_t duration_ms = -1;
  int64_t duration_samples = -1;

  void clear();
};

struct decoder_storage {
  const AVCodec *codec = nullptr;  // FFmpeg's static description, not owned
  melvor::codec_context_ptr codec_context;
  melvor::frame_ptr frame;
  melvor::resampler_ptr resampler;
  std::vector<uint8_t> output;  // the output block, interleaved s32
  bool end_of_input = false;
  bool decoder_eof = false;
  double timecode = 0.0;
  int64_t buffer_samples = 0;
  int64_t buffer_start_sample = 0;
  int64_t sample_position = 0;
  int64_t seek_target_sample = -1;

  decoder_storage() = default;
  decoder_storage(const decoder_storage &) = delete;
  decoder_storage &operator=(const decoder_storage &) = delete;
  ~decoder_storage();

  // Frees codec context, frame and resampler, in that order, and resets the
  // bookkeeping; the output keeps its capacity.
  void free_ffmpeg();
  // Empties the block; the next block starts at sample_position.
  void clear_output();
};

struct __fmpg_instance__ {
  bool is_open = false;
  melvor::format_context_ptr format_context;
  file_info_storage file_info;
  audio_info_storage audio_info;
  decoder_storage decoder;

  __fmpg_instance__() = default;
  __fmpg_instance__(const __fmpg_instance__ &) = delete;
  __fmpg_instance__ &operator=(const __fmpg_instance__ &) = delete;
  // Closes the demuxer first; the members then go in reverse order, so the
  // decoding objects are freed before the tag strings.
  ~__fmpg_instance__() { format_context.reset(); }
};

namespace melvor {

// Writes "error:<function>: <message>" to stderr.
#define MELVOR_ERROR(...) melvor::report_error(__func__, __VA_ARGS__)
void report_error(const char *function, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

bool instance_ready(const __fmpg_instance__ *instance);

// Half-up rounding of non-negative seconds; -1 for negative input (or NaN).
int64_t milliseconds_from_seconds(double seconds);
int64_t samples_from_seconds(double seconds, int rate);

double stream_duration_seconds(const AVStream *stream);
double format_duration_seconds(const AVFormatContext *context);
int count_audio_streams(const AVFormatContext *context);

bool fill_audio_info(__fmpg_instance__ *instance);
bool init_decoder(__fmpg_instance__ *instance);
bool init_codec_context(__fmpg_instance__ *instance);
bool init_resampler(__fmpg_instance__ *instance);

// Tags: the container's dictionary first, then the chosen stream's.
void fill_file_metadata(__fmpg_instance__ *instance);
std::string get_metadata_string(const AVDictionary *container, const AVDictionary *stream,
                                const char *key);
int get_metadata_int(const AVDictionary *container, const AVDictionary *stream, const char *key);
const char *string_c_str(const std::string &s);

// The selected stream of an open instance, or null.
AVStream *selected_stream(const __fmpg_instance__ *instance);

}  // namespace melvor

#endif  // MELVOR_INSTANCE_H
