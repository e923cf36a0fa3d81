// Instance lifecycle, records, versions and the FFmpeg compatibility check.
#include "instance.h"

#include <cstdarg>
#include <cstdio>
#include <new>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/version.h>
}

void file_info_storage::clear() {
  title.clear();
  author.clear();
  album.clear();
  genre.clear();
  comment.clear();
  copyright.clear();
  year = -1;
  track = -1;
  bitrate = -1;
}

void audio_info_storage::clear() { *this = audio_info_storage{}; }

decoder_storage::~decoder_storage() { free_ffmpeg(); }

void decoder_storage::free_ffmpeg() {
  codec_context.reset();
  frame.reset();
  resampler.reset();
  packet.reset();
  opening_parameters.reset();
  codec = nullptr;
  output.clear();
  end_of_input = false;
  decoder_eof = false;
  timecode = 0.0;
  buffer_samples = 0;
  buffer_start_sample = 0;
  sample_position = 0;
  seek_target_sample = -1;
  resampler_in_format = AV_SAMPLE_FMT_NONE;
  resampler_in_rate = 0;
  resampler_in_layout.reset();
  output_layout.reset();
  opening_packet_count = 0;
  pending.clear();
  clock.reset(AVRational{0, 1}, 0);
  frames.reset();
}

void decoder_storage::clear_output() {
  output.clear();
  buffer_samples = 0;
  buffer_start_sample = sample_position;
}

void decoder_storage::begin_at(int64_t target, double seconds,
                               melvor::packet_queue ahead, melvor::placement how,
                               uint64_t anchor_serial, int64_t anchor_index) {
  sample_position = target;
  clear_output();
  seek_target_sample = target;
  timecode = seconds;
  end_of_input = false;
  decoder_eof = false;
  pending = std::move(ahead);
  clock.begin(how, anchor_serial, anchor_index);
}

namespace melvor {

bool packet_queue::push(packet_ptr packet) noexcept {
  try {
    items_.push_back(std::move(packet));
  } catch (...) {
    return false;
  }
  return true;
}

void packet_queue::pop_into(AVPacket *packet) noexcept {
  av_packet_move_ref(packet, items_[next_].get());
  items_[next_++].reset();
  if (empty()) clear();
}

packet_print packet_print::of(const AVPacket *packet) {
  packet_print print;
  print.position = packet->pos;
  print.label = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
  print.size = packet->size;
  print.flags = packet->flags;
  size_t size = 0;
  const uint8_t *skip = av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
  if (skip != nullptr && size >= 4) print.skip = AV_RL32(skip);
  return print;
}

bool packet_print::same_as(const packet_print &opened, int codec_delay) const {
  if (position != opened.position || label != opened.label || size != opened.size ||
      flags != opened.flags) {
    return false;
  }
  return skip == opened.skip || (skip < 0 && opened.skip == codec_delay);
}

bool channel_layout::assign(const AVChannelLayout &other) {
  AVChannelLayout copy{};
  if (av_channel_layout_copy(&copy, &other) < 0) return false;
  av_channel_layout_uninit(&layout_);
  layout_ = copy;
  return true;
}

void report_error(const char *function, const char *format, ...) {
  std::fputs("error:", stderr);
  std::fputs(function, stderr);
  std::fputs(": ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

bool instance_ready(const __fmpg_instance__ *instance) {
  return instance != nullptr && instance->is_open && instance->format_context != nullptr &&
         instance->audio_info.stream_index >= 0 && instance->decoder.codec_context != nullptr &&
         instance->decoder.resampler != nullptr;
}

AVStream *selected_stream(const __fmpg_instance__ *instance) {
  const AVFormatContext *context = instance->format_context.get();
  const int index = instance->audio_info.stream_index;
  if (context == nullptr || index < 0 || static_cast<unsigned>(index) >= context->nb_streams) {
    return nullptr;
  }
  return context->streams[index];
}

}  // namespace melvor

namespace {

// Process-wide text buffers of the two version calls. Static storage rather
// than a first-use allocation, so a caller always gets a readable text.
char ffmpeg_version_text[1024];
char version_string_text[1024];

}  // namespace

extern "C" {

MELVOR_API int fmpg_compatible_ffmpeg(void) noexcept {
  const unsigned runtime[] = {avformat_version() >> 16, avcodec_version() >> 16,
                              swresample_version() >> 16, avutil_version() >> 16};
  const int compiled[] = {LIBAVFORMAT_VERSION_MAJOR, LIBAVCODEC_VERSION_MAJOR,
                          LIBSWRESAMPLE_VERSION_MAJOR, LIBAVUTIL_VERSION_MAJOR};
  const char *labels[] = {"AVFormat", "AVCodec", "SWResample", "AVUtil"};
  bool compatible = true;
  // A lambda on purpose: the message names its function, and the documented
  // text is "error:operator(): FFMPEG ...".
  auto check = [&](int i) {
    const int at_runtime = static_cast<int>(runtime[i]);
    if (compiled[i] != at_runtime) {
      MELVOR_ERROR("FFMPEG %s Major versions not equal. Compile time: %d, runtime: %d\n",
                   labels[i], compiled[i], at_runtime);
      compatible = false;
    }
  };
  for (int i = 0; i < 4; ++i) check(i);
  return compatible ? 1 : 0;
}

MELVOR_API fmpg_instance *fmpg_init(void) noexcept {
  if (!fmpg_compatible_ffmpeg()) {
    MELVOR_ERROR("%s\n",
                 "Compiled major ffmpeg version \xE2\x89\x83 runtime major version, not compatible.");
    return nullptr;
  }
  try {
    return new __fmpg_instance__();
  } catch (...) {
    return nullptr;
  }
}

MELVOR_API void fmpg_free(fmpg_instance *h) noexcept { delete h; }

MELVOR_API int fmpg_version(void) noexcept { return 0x10000; }

MELVOR_API const char *fmpg_int_version2string(int version) noexcept {
  const int major = version >> 16;
  const int minor = (version & 0xFF00) >> 8;
  const int micro = version & 0xFF;
  std::snprintf(version_string_text, sizeof version_string_text, "%u.%u.%u",
                static_cast<unsigned>(major), static_cast<unsigned>(minor),
                static_cast<unsigned>(micro));
  return version_string_text;
}

MELVOR_API const char *fmpg_ffmpeg_version(void) noexcept {
  std::snprintf(ffmpeg_version_text, sizeof ffmpeg_version_text,
                "avformat: %u.%u.%u (%d), avcodec: %u.%u.%u (%d), swresample: %u.%u.%u (%d), "
                "avutil: %u.%u.%u (%d)",
                LIBAVFORMAT_VERSION_MAJOR, LIBAVFORMAT_VERSION_MINOR, LIBAVFORMAT_VERSION_MICRO,
                LIBAVFORMAT_VERSION_INT, LIBAVCODEC_VERSION_MAJOR, LIBAVCODEC_VERSION_MINOR,
                LIBAVCODEC_VERSION_MICRO, LIBAVCODEC_VERSION_INT, LIBSWRESAMPLE_VERSION_MAJOR,
                LIBSWRESAMPLE_VERSION_MINOR, LIBSWRESAMPLE_VERSION_MICRO,
                LIBSWRESAMPLE_VERSION_INT, LIBAVUTIL_VERSION_MAJOR, LIBAVUTIL_VERSION_MINOR,
                LIBAVUTIL_VERSION_MICRO, LIBAVUTIL_VERSION_INT);
  return ffmpeg_version_text;
}

MELVOR_API int fmpg_is_open(fmpg_instance *h) noexcept { return melvor::instance_ready(h) ? 1 : 0; }

}  // extern "C"
