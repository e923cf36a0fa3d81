// Opening a file, choosing its audio stream, and the stream facts.
#include "instance.h"

#include <sys/stat.h>

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

namespace {

// A decoder opened on the given parameters with FFmpeg's defaults.
codec_context_ptr open_codec_context(const AVCodec *codec, const AVCodecParameters *parameters,
                                     AVRational time_base) {
  codec_context_ptr context(avcodec_alloc_context3(codec));
  if (context == nullptr) return nullptr;
  if (avcodec_parameters_to_context(context.get(), parameters) < 0) return nullptr;
  // Decoders place their output (and the samples they skip at the start)
  // by this time base; without it the first timestamps ignore encoder delay.
  context->pkt_timebase = time_base;
  // Frames carry their packet's opaque value, which traces them to it.
  context->flags |= AV_CODEC_FLAG_COPY_OPAQUE;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
  return context;
}

// A resampler from what the opened codec says it delivers. Where the codec
// does not know yet, the output's values stand in and the first frame
// reconfigures.
bool configure_resampler_for(__fmpg_instance__ *instance, const AVCodecContext *codec) {
  const bool known_layout = av_channel_layout_check(&codec->ch_layout) != 0;
  const AVChannelLayout &in_layout =
      known_layout ? codec->ch_layout : instance->decoder.output_layout.get();
  const int in_rate = codec->sample_rate > 0 ? codec->sample_rate : instance->audio_info.sample_rate;
  const AVSampleFormat in_format =
      av_get_bytes_per_sample(codec->sample_fmt) > 0 ? codec->sample_fmt : AV_SAMPLE_FMT_S32;
  return configure_resampler(instance, in_format, in_rate, in_layout);
}

}  // namespace

bool init_codec_context(__fmpg_instance__ *instance) {
  decoder_storage &dec = instance->decoder;
  const AVStream *stream = selected_stream(instance);
  if (stream == nullptr) return false;

  dec.codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (dec.codec == nullptr) return false;
  dec.codec_context = open_codec_context(dec.codec, stream->codecpar, stream->time_base);
  if (dec.codec_context == nullptr) return false;
  // Kept for restarting the decoder: the stream's own may change as it plays.
  dec.opening_parameters.reset(avcodec_parameters_alloc());
  if (dec.opening_parameters == nullptr ||
      avcodec_parameters_copy(dec.opening_parameters.get(), stream->codecpar) < 0) {
    return false;
  }
  dec.frame.reset(av_frame_alloc());
  return dec.frame != nullptr;
}

bool configure_resampler(__fmpg_instance__ *instance, AVSampleFormat in_format, int in_rate,
                         const AVChannelLayout &in_layout) {
  decoder_storage &dec = instance->decoder;
  SwrContext *resampler = nullptr;
  if (swr_alloc_set_opts2(&resampler, &dec.output_layout.get(), AV_SAMPLE_FMT_S32,
                          instance->audio_info.sample_rate, &in_layout, in_format, in_rate, 0,
                          nullptr) < 0) {
    swr_free(&resampler);
    return false;
  }
  resampler_ptr owned(resampler);
  if (swr_init(resampler) < 0 || !dec.resampler_in_layout.assign(in_layout)) return false;
  dec.resampler = std::move(owned);
  dec.resampler_in_format = in_format;
  dec.resampler_in_rate = in_rate;
  return true;
}

// The output is what the host is told: the stream parameters' layout (in
// FFmpeg's default order when they name none) and rate.
bool init_resampler(__fmpg_instance__ *instance) {
  decoder_storage &dec = instance->decoder;
  const AVStream *stream = selected_stream(instance);
  if (stream == nullptr || dec.codec_context == nullptr) return false;
  const AVChannelLayout &stream_layout = stream->codecpar->ch_layout;
  if (av_channel_layout_check(&stream_layout)) {
    if (!dec.output_layout.assign(stream_layout)) return false;
  } else {
    AVChannelLayout fallback{};
    av_channel_layout_default(&fallback, instance->audio_info.channels);
    if (!dec.output_layout.assign(fallback)) return false;
  }
  return configure_resampler_for(instance, dec.codec_context.get());
}

codec_context_ptr fresh_decoder(const __fmpg_instance__ *instance) {
  const decoder_storage &dec = instance->decoder;
  const AVStream *stream = selected_stream(instance);
  if (stream == nullptr || dec.codec == nullptr || dec.opening_parameters == nullptr) return nullptr;
  return open_codec_context(dec.codec, dec.opening_parameters.get(), stream->time_base);
}

bool install_decoder(__fmpg_instance__ *instance, codec_context_ptr fresh) {
  decoder_storage &dec = instance->decoder;
  if (fresh == nullptr) return false;
  dec.codec_context = std::move(fresh);
  if (configure_resampler_for(instance, dec.codec_context.get())) return true;
  swr_close(dec.resampler.get());
  return swr_init(dec.resampler.get()) >= 0;
}

// Reads the stream's first packets ahead: a rewind to the start is exact
// when it reads them again.
void read_opening_packets(__fmpg_instance__ *instance) {
  decoder_storage &dec = instance->decoder;
  while (dec.opening_packet_count < kOpeningPackets) {
    packet_ptr packet(av_packet_alloc());
    if (packet == nullptr || read_selected_audio_packet(instance, packet.get()) != 1) return;
    const packet_print print = packet_print::of(packet.get());
    // A packet that cannot be kept is lost to the decoder: the rewind could
    // never come back to the same packets, so nothing is remembered.
    if (!dec.pending.push(std::move(packet))) {
      dec.opening_packet_count = 0;
      return;
    }
    dec.opening_packets[dec.opening_packet_count++] = print;
  }
}

bool init_decoder(__fmpg_instance__ *instance) {
  instance->decoder.free_ffmpeg();
  if (!init_codec_context(instance) || !init_resampler(instance)) return false;
  const AVStream *stream = selected_stream(instance);
  instance->decoder.clock.reset(stream->time_base, instance->audio_info.sample_rate);
  read_opening_packets(instance);
  return true;
}

}  // namespace melvor

extern "C" {

MELVOR_API void fmpg_close(fmpg_instance *h) noexcept {
  if (h == nullptr) return;
  h->decoder.free_ffmpeg();
  h->format_context.reset();
  h->is_open = false;
  h->file_info.clear();
  h->audio_info.clear();
}

MELVOR_API int fmpg_open_file(fmpg_instance *h, const char *path) noexcept {
  if (h == nullptr || h->is_open || path == nullptr || h->format_context != nullptr) return 0;
  // A character device (/dev/urandom, a terminal) never ends, and a demuxer
  // that reads its whole input while opening (subtitle formats do) would
  // read on for ever, should the bytes happen to look like its format.
  struct stat st;
  if (stat(path, &st) == 0 && S_ISCHR(st.st_mode)) return 0;

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
  if (!melvor::fill_file_metadata(h) || !melvor::init_decoder(h)) {
    fmpg_close(h);
    return 0;
  }
  h->is_open = true;
  return 1;
}

MELVOR_API int fmpg_audio_stream_count(fmpg_instance *h) noexcept {
  return (h != nullptr && h->is_open) ? h->audio_info.audio_stream_count : 0;
}

MELVOR_API int fmpg_audio_sample_rate(fmpg_instance *h) noexcept {
  return melvor::instance_ready(h) ? h->audio_info.sample_rate : 0;
}

MELVOR_API int fmpg_audio_channels(fmpg_instance *h) noexcept {
  return melvor::instance_ready(h) ? h->audio_info.channels : 0;
}

MELVOR_API int fmpg_audio_bits_per_sample(fmpg_instance *) noexcept { return 32; }

MELVOR_API int fmpg_audio_bytes_per_sample(fmpg_instance *) noexcept { return 4; }

MELVOR_API int64_t fmpg_duration_ms(fmpg_instance *h) noexcept {
  return melvor::instance_ready(h) ? h->audio_info.duration_ms : -1;
}

MELVOR_API int64_t fmpg_duration_samples(fmpg_instance *h) noexcept {
  return melvor::instance_ready(h) ? h->audio_info.duration_samples : -1;
}

}  // extern "C"
