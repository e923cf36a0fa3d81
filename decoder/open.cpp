// Opening a file, choosing its audio stream, and the stream facts.
#include "instance.h"

#include <cmath>
#include <cstdio>

namespace melvor {

namespace {

// Half-up rounding shared by both conversions: one fused multiply-add, then
// truncation. NaN and negative input give -1; a value beyond int64 saturates.
int64_t round_half_up(double value, double scale) {
  if (!(value >= 0.0)) return -1;
  const double r = std::fma(value, scale, 0.5);
  if (!(r < 9223372036854775807.0)) return INT64_MAX;
  return static_cast<int64_t>(r);
}

}  // namespace

int64_t milliseconds_from_seconds(double seconds) { return round_half_up(seconds, 1000.0); }

int64_t samples_from_seconds(double seconds, int rate) {
  if (rate <= 0) return -1;
  return round_half_up(seconds, static_cast<double>(rate));
}

double stream_duration_seconds(const AVStream *stream) {
  if (stream == nullptr || stream->duration == AV_NOPTS_VALUE) return -1.0;
  return static_cast<double>(stream->duration) * av_q2d(stream->time_base);
}

double format_duration_seconds(const AVFormatContext *context) {
  if (context == nullptr || context->duration == AV_NOPTS_VALUE) return -1.0;
  return static_cast<double>(context->duration) / 1000000.0;
}

int count_audio_streams(const AVFormatContext *context) {
  if (context == nullptr) return 0;
  int count = 0;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters *par = context->streams[i]->codecpar;
    if (par != nullptr && par->codec_type == AVMEDIA_TYPE_AUDIO) ++count;
  }
  return count;
}

bool fill_audio_info(__fmpg_instance__ *instance) {
  audio_info_storage &info = instance->audio_info;
  AVFormatContext *context = instance->format_context.get();
  info.clear();
  info.audio_stream_count = count_audio_streams(context);

  const int index = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (index < 0) return false;
  const AVStream *stream = context->streams[index];
  const AVCodecParameters *par = stream->codecpar;
  if (par == nullptr || par->codec_type != AVMEDIA_TYPE_AUDIO || par->sample_rate <= 0 ||
      par->ch_layout.nb_channels <= 0) {
    return false;
  }
  info.stream_index = index;
  info.sample_rate = par->sample_rate;
  info.channels = par->ch_layout.nb_channels;

  double seconds = stream_duration_seconds(stream);
  if (seconds < 0.0) seconds = format_duration_seconds(context);
  info.duration_ms = milliseconds_from_seconds(seconds);
  info.duration_samples = samples_from_seconds(seconds, info.sample_rate);
  return true;
}

bool init_codec_context(__fmpg_instance__ *instance) {
  decoder_storage &dec = instance->decoder;
  const AVStream *stream = selected_stream(instance);
  if (stream == nullptr) return false;

  dec.codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (dec.codec == nullptr) return false;
  dec.codec_context.reset(avcodec_alloc_context3(dec.codec));
  if (dec.codec_context == nullptr) return false;
  if (avcodec_parameters_to_context(dec.codec_context.get(), stream->codecpar) < 0) return false;
  // Decoders place their output (and the samples they skip at the start)
  // by this time base; without it the first timestamps ignore encoder delay.
  dec.codec_context->pkt_timebase = stream->time_base;
  if (avcodec_open2(dec.codec_context.get(), dec.codec, nullptr) < 0) return false;
  dec.frame.reset(av_frame_alloc());
  return dec.frame != nullptr;
}

bool init_resampler(__fmpg_instance__ *instance) {
  decoder_storage &dec = instance->decoder;
  const AVCodecContext *codec = dec.codec_context.get();
  if (codec->ch_layout.nb_channels <= 0 || codec->sample_rate <= 0) return false;

  SwrContext *resampler = nullptr;
  if (swr_alloc_set_opts2(&resampler, &codec->ch_layout, AV_SAMPLE_FMT_S32, codec->sample_rate,
                          &codec->ch_layout, codec->sample_fmt, codec->sample_rate, 0,
                          nullptr) < 0) {
    swr_free(&resampler);
    return false;
  }
  dec.resampler.reset(resampler);
  return swr_init(resampler) >= 0;
}

bool init_decoder(__fmpg_instance__ *instance) {
  instance->decoder.free_ffmpeg();
  if (!init_codec_context(instance)) return false;
  return init_resampler(instance);
}

}  // namespace melvor

extern "C" {

MELVOR_API void fmpg_close(fmpg_instance *h) {
  if (h == nullptr) return;
  h->decoder.free_ffmpeg();
  h->format_context.reset();
  h->is_open = false;
  h->file_info.clear();
  h->audio_info.clear();
}

MELVOR_API int fmpg_open_file(fmpg_instance *h, const char *path) {
  if (h == nullptr || h->is_open || path == nullptr || h->format_context != nullptr) return 0;

  AVFormatContext *context = nullptr;
  if (avformat_open_input(&context, path, nullptr, nullptr) < 0) {
    fmpg_close(h);
    return 0;
  }
  h->format_context.reset(context);
  std::fprintf(stderr, "metadata: %p", static_cast<void *>(context->metadata));

  if (avformat_find_stream_info(context, nullptr) < 0 || !melvor::fill_audio_info(h)) {
    fmpg_close(h);
    return 0;
  }
  // Tags come after the stream choice: Ogg and similar containers keep them
  // in the audio stream's dictionary.
  melvor::fill_file_metadata(h);
  if (!melvor::init_decoder(h)) {
    fmpg_close(h);
    return 0;
  }
  h->is_open = true;
  return 1;
}

MELVOR_API int fmpg_audio_stream_count(fmpg_instance *h) {
  return (h != nullptr && h->is_open) ? h->audio_info.audio_stream_count : 0;
}

MELVOR_API int fmpg_audio_sample_rate(fmpg_instance *h) {
  return melvor::instance_ready(h) ? h->audio_info.sample_rate : 0;
}

MELVOR_API int fmpg_audio_channels(fmpg_instance *h) {
  return melvor::instance_ready(h) ? h->audio_info.channels : 0;
}

MELVOR_API int fmpg_audio_bits_per_sample(fmpg_instance *) { return 32; }

MELVOR_API int fmpg_audio_bytes_per_sample(fmpg_instance *) { return 4; }

MELVOR_API int64_t fmpg_duration_ms(fmpg_instance *h) {
  return melvor::instance_ready(h) ? h->audio_info.duration_ms : -1;
}

MELVOR_API int64_t fmpg_duration_samples(fmpg_instance *h) {
  return melvor::instance_ready(h) ? h->audio_info.duration_samples : -1;
}

}  // extern "C"
