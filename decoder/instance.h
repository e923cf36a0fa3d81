// The decoder instance and its three storage records.
#ifndef MELVOR_INSTANCE_H
#define MELVOR_INSTANCE_H

#include "melvor.h"
#include "frame_index.h"
#include "timeline.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libavutil/channel_layout.h>
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
struct codec_parameters_freer {
  void operator()(AVCodecParameters *p) const { avcodec_parameters_free(&p); }
};

using format_context_ptr = std::unique_ptr<AVFormatContext, format_context_closer>;
using codec_context_ptr = std::unique_ptr<AVCodecContext, codec_context_freer>;
using frame_ptr = std::unique_ptr<AVFrame, frame_freer>;
using resampler_ptr = std::unique_ptr<SwrContext, resampler_freer>;
using packet_ptr = std::unique_ptr<AVPacket, packet_freer>;
using codec_parameters_ptr = std::unique_ptr<AVCodecParameters, codec_parameters_freer>;

// What tells one of the stream's first packets from another: a rewind has
// come back to the start when it reads the packets the open read.
struct packet_print {
  int64_t position = -1;
  int64_t label = AV_NOPTS_VALUE;
  int size = 0;
  int flags = 0;
  int64_t skip = -1;  // samples the packet tells the codec to skip; -1 none

  static packet_print of(const AVPacket *packet);
  // The same packet, given to a codec that skips `codec_delay` samples at
  // its start of its own accord.
  bool same_as(const packet_print &opened, int codec_delay) const;
};
constexpr int kOpeningPackets = 3;

// Packets read ahead of the decoder, taken in the order they were read.
// Nothing here throws: a packet that cannot be queued is refused.
class packet_queue {
 public:
  bool empty() const { return next_ == items_.size(); }
  size_t size() const { return items_.size() - next_; }
  // False, and the packet freed, when there is no memory to queue it.
  bool push(packet_ptr packet) noexcept;
  // Moves the oldest packet's contents into `packet`.
  void pop_into(AVPacket *packet) noexcept;
  // Drops the oldest packet.
  void drop_front() noexcept { items_[next_++].reset(); }
  void clear() noexcept {
    items_.clear();
    next_ = 0;
  }

 private:
  std::vector<packet_ptr> items_;
  size_t next_ = 0;
};

// Bytes that a resize leaves uninitialised: the resampler writes them.
template <typename T>
struct uninitialized_allocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = uninitialized_allocator<U>;
  };
  uninitialized_allocator() = default;
  template <typename U>
  uninitialized_allocator(const uninitialized_allocator<U> &) noexcept {}
  template <typename U>
  void construct(U *p) noexcept {
    ::new (static_cast<void *>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U *p, Args &&...args) {
    ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
  }
};
using byte_buffer = std::vector<uint8_t, uninitialized_allocator<uint8_t>>;

// An AVChannelLayout with one owner: a custom layout holds an allocated map.
class channel_layout {
 public:
  channel_layout() = default;
  channel_layout(const channel_layout &) = delete;
  channel_layout &operator=(const channel_layout &) = delete;
  ~channel_layout() { av_channel_layout_uninit(&layout_); }

  // Copies other; false (and unchanged) when the copy cannot be made.
  bool assign(const AVChannelLayout &other);
  void reset() { av_channel_layout_uninit(&layout_); }
  const AVChannelLayout &get() const { return layout_; }

 private:
  AVChannelLayout layout_{};
};

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
  // The decode loop's packet, empty between calls; kept so that a call
  // allocates nothing.
  melvor::packet_ptr packet;
  melvor::byte_buffer output;  // the output block, interleaved s32
  bool end_of_input = false;
  bool decoder_eof = false;
  double timecode = 0.0;
  int64_t buffer_samples = 0;
  int64_t buffer_start_sample = 0;
  int64_t sample_position = 0;
  int64_t seek_target_sample = -1;

  // The stream parameters the codec was opened with.
  melvor::codec_parameters_ptr opening_parameters;

  // What the resampler converts from and to. The output stays what the host
  // was told at opening; a frame in another format reconfigures the input.
  AVSampleFormat resampler_in_format = AV_SAMPLE_FMT_NONE;
  int resampler_in_rate = 0;
  melvor::channel_layout resampler_in_layout;
  melvor::channel_layout output_layout;

  // The stream's first packets as the open read them.
  std::array<melvor::packet_print, melvor::kOpeningPackets> opening_packets{};
  int opening_packet_count = 0;
  // Packets read ahead (by the open, by a seek); decoded before the
  // demuxer's next ones.
  melvor::packet_queue pending;
  // Sample positions: counting, labels, seek anchors.
  melvor::timeline clock;
  // Where the frames of a raw stream lie in the file.
  melvor::frame_index frames;

  decoder_storage() = default;
  decoder_storage(const decoder_storage &) = delete;
  decoder_storage &operator=(const decoder_storage &) = delete;
  ~decoder_storage();

  // Frees codec context, frame and resampler, in that order, then the
  // loop's packet and the kept parameters, and resets the bookkeeping; the
  // output keeps its capacity.
  void free_ffmpeg();
  // Empties the block; the next block starts at sample_position.
  void clear_output();
  // Decoding starts again after a seek, at the stream's start or from an
  // anchor packet: an empty block at the target with trimming pending up to
  // it, the Reading state, and nothing read ahead but `ahead`.
  void begin_at(int64_t target, double seconds, melvor::packet_queue ahead,
                melvor::placement how, uint64_t anchor_serial = 0, int64_t anchor_index = 0);
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

// Sample indices stay this far from the int64 limits, so that sums and
// differences of two of them never overflow.
constexpr int64_t kIndexLimit = INT64_C(1) << 62;

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
// A new resampler from the given input to the output format; the instance
// keeps the old one when this fails.
bool configure_resampler(__fmpg_instance__ *instance, AVSampleFormat in_format, int in_rate,
                         const AVChannelLayout &in_layout);
// A codec context as at opening, not yet in use: decoding from the stream's
// start with it gives exactly what the first decode gave. Null when none
// can be made.
codec_context_ptr fresh_decoder(const __fmpg_instance__ *instance);
// Puts `fresh` in place of the codec context, with a resampler made for it;
// short of memory for that, the old resampler starts afresh instead (the
// first frame adapts it where the codec's output differs). False when
// neither can be done.
bool install_decoder(__fmpg_instance__ *instance, codec_context_ptr fresh);

// The decode loop.
int receive_available_frames(__fmpg_instance__ *instance);
// 1: the packet holds the selected stream's next packet; 0: the demuxer
// has no more (the end, or a read error); -1: it ran out of memory, and a
// later call can go on.
int read_selected_audio_packet(__fmpg_instance__ *instance, AVPacket *packet);
int drain_resampler(__fmpg_instance__ *instance);

// Frame conversion and the output block.
bool append_converted_frame(__fmpg_instance__ *instance, const AVFrame *frame);
// Grows the block by count uninitialised bytes; false, and the block as it
// was, when it would pass INT_MAX bytes or the memory is not there.
bool grow_block(decoder_storage &storage, uint64_t count);
int64_t timestamp_to_samples(int64_t timestamp, const AVStream *stream, int rate);
// One tick of the stream's time base in samples, rounded up (at least 1).
int64_t tick_samples(const AVStream *stream, int rate);

// Tags: the container's dictionary first, then the chosen stream's. False
// (and the tags cleared) when there is no memory for the texts.
bool fill_file_metadata(__fmpg_instance__ *instance);
std::string get_metadata_string(const AVDictionary *container, const AVDictionary *stream,
                                const char *key);
int get_metadata_int(const AVDictionary *container, const AVDictionary *stream, const char *key);
const char *string_c_str(const std::string &s);

// The selected stream of an open instance, or null.
AVStream *selected_stream(const __fmpg_instance__ *instance);

}  // namespace melvor

#endif  // MELVOR_INSTANCE_H
