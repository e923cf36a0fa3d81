// Sample-exact seeking.
#include "instance.h"

#include <algorithm>

namespace melvor {

namespace {

// Lossy decoders need some history before their output is right again, so
// the demuxer goes back this much further; frame conversion drops the extra.
constexpr int64_t kWarmUpMicroseconds = 200000;
// Far beyond any real file; keeps the time base conversions from overflowing.
constexpr int64_t kLatestMicroseconds = INT64_C(1) << 52;

int64_t warm_up_microseconds(const AVStream *stream) {
  const AVCodecParameters *par = stream->codecpar;
  int64_t preroll = 0;
  if (par->seek_preroll > 0 && par->sample_rate > 0) {
    preroll = av_rescale_rnd(par->seek_preroll, 1000000, par->sample_rate, AV_ROUND_UP);
  }
  return std::max(kWarmUpMicroseconds, preroll);
}

int64_t to_stream_time(int64_t microseconds, const AVStream *stream) {
  return av_rescale_q(microseconds, av_make_q(1, 1000000), stream->time_base);
}

enum class landing { failed, at_start, inside };

// Moves the demuxer to a seek point at or before the warm-up point. Some
// demuxers refuse a point before the stream's start; then the start itself.
landing seek_demuxer(__fmpg_instance__ *instance, const AVStream *stream, int64_t ms) {
  AVFormatContext *context = instance->format_context.get();
  const int index = instance->audio_info.stream_index;
  const int64_t at =
      ms < kLatestMicroseconds / 1000 ? av_rescale(ms, 1000000, 1000) : kLatestMicroseconds;
  const int64_t warm = to_stream_time(at - warm_up_microseconds(stream), stream);
  const int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
  const landing warm_landing = warm < start ? landing::at_start : landing::inside;
  if (av_seek_frame(context, index, warm, AVSEEK_FLAG_BACKWARD) >= 0) return warm_landing;
  if (warm < start && av_seek_frame(context, index, start, AVSEEK_FLAG_BACKWARD) >= 0) {
    return landing::at_start;
  }
  if (av_seek_frame(context, index, to_stream_time(at, stream), AVSEEK_FLAG_BACKWARD) >= 0) {
    return landing::inside;
  }
  return landing::failed;
}

}  // namespace

}  // namespace melvor

extern "C" {

MELVOR_API int fmpg_seek_ms(fmpg_instance *h, int64_t ms) noexcept {
  if (!melvor::instance_ready(h) || ms < 0) return 0;
  const AVStream *stream = melvor::selected_stream(h);
  if (stream == nullptr) return 0;
  const melvor::landing landed = melvor::seek_demuxer(h, stream, ms);
  if (landed == melvor::landing::failed) return 0;

  const int64_t target = std::min(
      melvor::samples_from_seconds(static_cast<double>(ms) / 1000.0, h->audio_info.sample_rate),
      melvor::kIndexLimit);
  decoder_storage &dec = h->decoder;
  // From the stream's start, a fresh decoder gives exactly the first
  // decode's output; a flushed one keeps some state (AAC's window shapes).
  if (landed != melvor::landing::at_start || !melvor::restart_decoder(h)) {
    avcodec_flush_buffers(dec.codec_context.get());
    swr_close(dec.resampler.get());
    if (swr_init(dec.resampler.get()) < 0) return 0;
  }

  dec.sample_position = target >= 0 ? target : 0;
  dec.clear_output();
  dec.seek_target_sample = target;
  dec.timecode = static_cast<double>(ms) / 1000.0;
  dec.end_of_input = false;
  dec.decoder_eof = false;
  dec.frame_placed = false;
  dec.after_seek = true;
  dec.at_stream_start = landed == melvor::landing::at_start;
  dec.grid.odd_frame = false;  // it was the last one
  return 1;
}

}  // extern "C"
