// Decoded frames into the output block, and the block's read calls.
#include "instance.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace melvor {

namespace {

int64_t clamp_index(int64_t index) {
  if (index > kIndexLimit) return kIndexLimit;
  if (index < -kIndexLimit) return -kIndexLimit;
  return index;
}

uint64_t distance(int64_t a, int64_t b) {
  return a > b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b)
               : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
}

// Like timestamp_to_samples, but a time before 0 keeps its negative index.
int64_t signed_timestamp_to_samples(int64_t timestamp, const AVStream *stream, int rate) {
  const double seconds = static_cast<double>(timestamp) * av_q2d(stream->time_base);
  if (seconds >= 0.0) return clamp_index(samples_from_seconds(seconds, rate));
  const double samples = std::floor(std::fma(seconds, static_cast<double>(rate), 0.5));
  if (!(samples > -static_cast<double>(kIndexLimit))) return -kIndexLimit;
  return static_cast<int64_t>(samples);
}

// The point of the grid origin + k * size nearest to index, when within
// tolerance; else index.
int64_t snap_to_grid(int64_t index, int64_t origin, int64_t size, int64_t tolerance) {
  const int64_t offset = index - origin;
  int64_t snapped = origin + (offset / size) * size;
  if (offset % size < 0) snapped -= size;
  if (index - snapped > size / 2) snapped += size;
  return distance(index, snapped) <= static_cast<uint64_t>(tolerance) ? snapped : index;
}

// Before any frames have been seen, the stream parameters may tell the
// frame size; the frames then lie on a grid from the stream's start, less
// the codec's priming.
int64_t snap_to_parameter_grid(const AVStream *stream, int rate, int64_t index, int64_t tolerance) {
  const AVCodecParameters *par = stream->codecpar;
  if (par->frame_size <= 0 || par->sample_rate != rate) return index;
  int64_t origin = 0;
  if (stream->start_time != AV_NOPTS_VALUE) {
    origin = timestamp_to_samples(stream->start_time, stream, rate);
    if (origin < 0) return index;
    origin = clamp_index(origin);
  }
  return snap_to_grid(index, origin - par->initial_padding, par->frame_size, tolerance);
}

// The samples the codec trims from the stream's first frame.
int64_t priming_samples(const __fmpg_instance__ *instance) {
  const AVStream *stream = selected_stream(instance);
  if (stream == nullptr) return 0;
  const AVCodecParameters *par = stream->codecpar;
  if (par->initial_padding <= 0 || par->sample_rate != instance->audio_info.sample_rate) return 0;
  return par->initial_padding;
}

// Where the first converted sample of a frame goes. `delay` is what the
// resampler held before this frame: its output starts that much earlier.
int64_t place_frame(const __fmpg_instance__ *instance, const AVFrame *frame, int64_t delay) {
  const decoder_storage &dec = instance->decoder;
  const AVStream *stream = selected_stream(instance);
  const int rate = instance->audio_info.sample_rate;
  const int64_t stamp = frame->best_effort_timestamp;
  if (stream == nullptr || stamp == AV_NOPTS_VALUE) return dec.sample_position;

  int64_t index;
  if (dec.seek_target_sample >= 0) {
    // Before the target anything goes, and a frame stamped before 0 (a
    // codec's priming) must stay there to be trimmed away.
    index = signed_timestamp_to_samples(stamp, stream, rate);
  } else {
    index = timestamp_to_samples(stamp, stream, rate);
    if (index < 0) return dec.sample_position;
    index = clamp_index(index);
  }
  index -= delay;

  // Containers that stamp in coarse units (Matroska: milliseconds) jitter by
  // up to a tick; within that, the frame follows on from the one before.
  const int64_t tick = tick_samples(stream, rate);
  if (dec.frame_placed) {
    if (distance(index, dec.sample_position) <= static_cast<uint64_t>(tick)) {
      return dec.sample_position;
    }
  } else if (dec.after_seek && !dec.at_stream_start) {
    // The first frame after a seek lands where the frames before it did;
    // the stream's first frame is where its stamp says.
    if (dec.grid.size > 0) return dec.grid.snap(index, tick);
    if (dec.grid.size == 0) return snap_to_parameter_grid(stream, rate, index, tick);
  }
  return index;
}

// The resampler has just written `count` samples after the first
// `old_size` bytes of the block. Keeps what a pending seek target leaves of
// the run [first, first + count) and moves the position past it.
void keep_converted(decoder_storage &dec, size_t old_size, int64_t first, int64_t count,
                    int channels, int rate) {
  int64_t skip = 0;
  const int64_t target = dec.seek_target_sample;
  if (target >= 0) {
    if (first + count <= target) {
      dec.output.resize(old_size);
      dec.sample_position = first + count;
      return;
    }
    if (first < target) {
      skip = target - first;
      count -= skip;
      first = target;
    }
    dec.seek_target_sample = -1;
  }
  if (old_size == 0) {
    dec.buffer_start_sample = first;
    dec.timecode = static_cast<double>(first) / static_cast<double>(rate);
  }
  const size_t frame_bytes = static_cast<size_t>(channels) * 4;
  uint8_t *run = dec.output.data() + old_size;
  if (skip > 0) {
    std::memmove(run, run + static_cast<size_t>(skip) * frame_bytes,
                 static_cast<size_t>(count) * frame_bytes);
  }
  dec.output.resize(old_size + static_cast<size_t>(count) * frame_bytes);
  dec.buffer_samples += count;
  dec.sample_position = first + count;
}

bool resampler_takes(const decoder_storage &dec, const AVFrame *frame) {
  return frame->format == dec.resampler_in_format && frame->sample_rate == dec.resampler_in_rate &&
         av_channel_layout_compare(&frame->ch_layout, &dec.resampler_in_layout.get()) == 0;
}

// A frame in another format than the resampler's input (a stream that
// changes its layout or rate part-way) gets a resampler of its own; the
// samples the old one still holds go first, unless a seek drops them anyway.
bool adapt_resampler(__fmpg_instance__ *instance, const AVFrame *frame) {
  decoder_storage &dec = instance->decoder;
  if (resampler_takes(dec, frame)) return true;
  if (frame->sample_rate <= 0 || !av_channel_layout_check(&frame->ch_layout) ||
      av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format)) <= 0) {
    return false;
  }
  if (dec.seek_target_sample < 0 && drain_resampler(instance) < 0) return false;
  return configure_resampler(instance, static_cast<AVSampleFormat>(frame->format),
                             frame->sample_rate, frame->ch_layout);
}

}  // namespace

void frame_grid::note(int64_t index, int64_t count, bool resampling, bool stream_first,
                      int64_t padding) {
  if (size < 0) return;
  if (resampling || odd_frame) {
    size = -1;  // resampled sizes vary; an odd frame was not the last
  } else if (stream_first) {
    if (size == 0) {
      origin = index - padding;
      size = count + padding;
    } else {
      origin = index - padding;  // exact, unlike a later frame that began the grid
    }
  } else if (size == 0) {
    origin = index;
    size = count;
  } else if (count == size) {
    confirmed = true;
  } else if (!confirmed) {
    origin = index;
    size = count;
  } else {
    odd_frame = true;
  }
}

int64_t frame_grid::snap(int64_t index, int64_t tolerance) const {
  if (size <= 0) return index;
  return snap_to_grid(index, origin, size, tolerance);
}

int64_t timestamp_to_samples(int64_t timestamp, const AVStream *stream, int rate) {
  if (stream == nullptr || timestamp == AV_NOPTS_VALUE || rate <= 0) return -1;
  const double seconds = static_cast<double>(timestamp) * av_q2d(stream->time_base);
  return samples_from_seconds(seconds, rate);
}

int64_t tick_samples(const AVStream *stream, int rate) {
  if (stream == nullptr || rate <= 0 || stream->time_base.num <= 0 || stream->time_base.den <= 0) {
    return 1;
  }
  const int64_t tick = av_rescale_rnd(stream->time_base.num, rate, stream->time_base.den,
                                      AV_ROUND_UP);
  return tick > 0 ? tick : 1;
}

bool grow_block(decoder_storage &storage, uint64_t count) {
  if (count > static_cast<uint64_t>(INT_MAX) - storage.output.size()) return false;
  try {
    storage.output.resize(storage.output.size() + count);
  } catch (...) {
    return false;
  }
  return true;
}

// The resampler writes straight into the block's tail, which the trimming
// then cuts back: no copy, and no allocation once the block has its size.
bool append_converted_frame(__fmpg_instance__ *instance, const AVFrame *frame) {
  decoder_storage &dec = instance->decoder;
  const int channels = instance->audio_info.channels;
  const int rate = instance->audio_info.sample_rate;
  const int in_samples = frame->nb_samples;
  if (channels <= 0 || in_samples <= 0) return true;
  if (!adapt_resampler(instance, frame)) return false;
  SwrContext *resampler = dec.resampler.get();

  const int capacity = swr_get_out_samples(resampler, in_samples);
  if (capacity <= 0) return false;
  const int size =
      av_samples_get_buffer_size(nullptr, channels, capacity, AV_SAMPLE_FMT_S32, 1);
  if (size <= 0) return false;
  const size_t old_size = dec.output.size();
  if (!grow_block(dec, static_cast<uint64_t>(size))) return false;

  const bool resampling = dec.resampler_in_rate != rate;
  const int64_t delay = resampling ? swr_get_delay(resampler, rate) : 0;
  uint8_t *out_planes[] = {dec.output.data() + old_size};
  const int converted =
      swr_convert(resampler, out_planes, capacity, frame->extended_data, in_samples);
  if (converted <= 0) {
    dec.output.resize(old_size);
    // While resampling, a short frame may stay inside the resampler whole.
    return converted == 0 && resampling;
  }

  const int64_t first = place_frame(instance, frame, delay);
  dec.grid.note(first, converted, resampling, dec.at_stream_start, priming_samples(instance));
  dec.frame_placed = true;
  dec.after_seek = false;
  dec.at_stream_start = false;
  keep_converted(dec, old_size, first, converted, channels, rate);
  return true;
}

int drain_resampler(__fmpg_instance__ *instance) {
  decoder_storage &dec = instance->decoder;
  const int channels = instance->audio_info.channels;
  const int rate = instance->audio_info.sample_rate;
  int appended = 0;
  for (;;) {
    const int64_t held = swr_get_delay(dec.resampler.get(), rate);
    if (held <= 0 || held > INT_MAX) break;
    const int capacity = static_cast<int>(held);
    const int size =
        av_samples_get_buffer_size(nullptr, channels, capacity, AV_SAMPLE_FMT_S32, 1);
    if (size <= 0) break;
    const size_t old_size = dec.output.size();
    if (!grow_block(dec, static_cast<uint64_t>(size))) return -1;
    uint8_t *out_planes[] = {dec.output.data() + old_size};
    const int converted = swr_convert(dec.resampler.get(), out_planes, capacity, nullptr, 0);
    if (converted <= 0) {
      dec.output.resize(old_size);
      break;
    }
    keep_converted(dec, old_size, dec.sample_position, converted, channels, rate);
    appended = 1;
  }
  return appended;
}

}  // namespace melvor

extern "C" {

MELVOR_API const uint8_t *fmpg_buffer(fmpg_instance *h) noexcept {
  if (h == nullptr || h->decoder.output.empty()) return nullptr;
  return h->decoder.output.data();
}

MELVOR_API int fmpg_buffer_size(fmpg_instance *h) noexcept {
  if (h == nullptr || h->decoder.output.size() > static_cast<size_t>(INT_MAX)) return 0;
  return static_cast<int>(h->decoder.output.size());
}

MELVOR_API int64_t fmpg_buffer_samples(fmpg_instance *h) noexcept {
  return h != nullptr ? h->decoder.buffer_samples : 0;
}

MELVOR_API int64_t fmpg_buffer_start_sample(fmpg_instance *h) noexcept {
  return h != nullptr ? h->decoder.buffer_start_sample : 0;
}

MELVOR_API int64_t fmpg_buffer_end_sample(fmpg_instance *h) noexcept {
  return h != nullptr ? h->decoder.buffer_start_sample + h->decoder.buffer_samples : 0;
}

MELVOR_API int64_t fmpg_sample_position(fmpg_instance *h) noexcept {
  return h != nullptr ? h->decoder.sample_position : 0;
}

MELVOR_API double fmpg_timecode(fmpg_instance *h) noexcept {
  return h != nullptr ? h->decoder.timecode : 0.0;
}

}  // extern "C"
