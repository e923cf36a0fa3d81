// Decoded frames into the output block, and the block's read calls.
#include "instance.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>

namespace melvor {

namespace {

int64_t clamp_index(int64_t index) {
  if (index > kIndexLimit) return kIndexLimit;
  if (index < -kIndexLimit) return -kIndexLimit;
  return index;
}

// Like timestamp_to_samples, but a time before 0 keeps its negative index.
int64_t signed_timestamp_to_samples(int64_t timestamp, const AVStream *stream, int rate) {
  const double seconds = static_cast<double>(timestamp) * av_q2d(stream->time_base);
  if (seconds >= 0.0) return clamp_index(samples_from_seconds(seconds, rate));
  const double samples = std::floor(std::fma(seconds, static_cast<double>(rate), 0.5));
  if (!(samples > -static_cast<double>(kIndexLimit))) return -kIndexLimit;
  return static_cast<int64_t>(samples);
}

uint64_t serial_of(const AVFrame *frame) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(frame->opaque));
}

// Compares the frame's timestamp with the count: a timestamp that runs ahead
// by more than the timestamps' own unsteadiness means audio is missing, and
// the frame goes where its timestamp says. Returns the frame's index.
int64_t follow_on(timeline &clock, int64_t index, bool stamped, int64_t stamp, int64_t tick) {
  if (!stamped) return index;
  const int64_t offset = stamp - index;
  if (!clock.run.has_reference) {
    clock.run.has_reference = true;
    clock.run.reference_offset = offset;
    return index;
  }
  const int64_t step = offset - clock.run.reference_offset;
  const int64_t packet = clock.run.largest_frame;
  int64_t threshold = std::max(tick + 1, 2 * clock.run.jitter + 1);
  // Without a loss seen, only a jump larger than a packet counts: labels
  // that stand for several frames wander by up to that.
  if (!clock.run.loss_noted) threshold = std::max({threshold, 2 * tick + 1, packet + tick});
  if (step > threshold) {
    clock.labels.break_run();
    // Coarse timestamps tell the missing audio to within a tick; it is a
    // whole number of packets, when the packets' sizes say so.
    const int64_t grid = clock.run.frame_grid;
    if (tick > 1 && grid > 0) {
      const int64_t whole = (step + grid / 2) / grid * grid;
      if (whole > 0 && std::abs(step - whole) <= tick) return index + whole;
    }
    return index + step;
  }
  // Steps far larger than a packet are restarts of the timestamps (streams
  // joined end to end), not unsteadiness.
  if (step >= -2 * std::max<int64_t>(packet, tick)) {
    clock.run.jitter = std::max(clock.run.jitter, step < 0 ? -step : step);
  }
  clock.run.reference_offset = offset;
  return index;
}

// Where the first converted sample of a frame goes. `delay` is what the
// resampler held before this frame: its output starts that much earlier.
int64_t place_frame(__fmpg_instance__ *instance, const AVFrame *frame, sent_packet *packet,
                    int64_t delay, int64_t count) {
  decoder_storage &dec = instance->decoder;
  timeline &clock = dec.clock;
  const AVStream *stream = selected_stream(instance);
  const int rate = instance->audio_info.sample_rate;
  const bool stamped = stream != nullptr && frame->best_effort_timestamp != AV_NOPTS_VALUE;
  const int64_t stamp =
      stamped ? signed_timestamp_to_samples(frame->best_effort_timestamp, stream, rate) - delay : 0;

  const placement mode = clock.mode;
  int64_t index = dec.sample_position;
  switch (mode) {
    case placement::stream_start:
      // Where the stream's first frame says, and at 0 when it says nothing
      // or a time before 0 (a codec's priming that it keeps).
      index = stamped && stamp >= 0 ? stamp : 0;
      break;
    case placement::anchoring:
      if (packet != nullptr && packet->serial == clock.anchor_serial) {
        index = clock.anchor_index;
      } else {
        // The anchor packet gave nothing: this one's own label, if it maps.
        const int64_t mapped =
            packet != nullptr && packet->labelled ? clock.labels.index_of(packet->label) : -1;
        index = mapped >= 0 ? mapped : clock.anchor_index;
      }
      break;
    case placement::counting:
      index = follow_on(clock, dec.sample_position, stamped, stamp, tick_samples(stream, rate));
      break;
  }
  if (mode != placement::counting) {
    clock.run.has_reference = stamped;
    clock.run.reference_offset = stamp - index;
    clock.mode = placement::counting;
  }
  clock.run.loss_noted = false;
  clock.run.largest_frame = std::max(clock.run.largest_frame, count);
  // The stream's first frame may be cut short by the codec's priming.
  if (mode != placement::stream_start) clock.run.frame_grid = std::gcd(clock.run.frame_grid, count);
  if (packet != nullptr && !packet->placed) {
    packet->placed = true;
    if (packet->labelled && clock.run.learning) {
      clock.labels.observe(packet->serial, packet->label, index,
                           mode == placement::stream_start);
    }
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
// samples the old one still holds go first (a pending seek target trims them
// like any others).
bool adapt_resampler(__fmpg_instance__ *instance, const AVFrame *frame) {
  decoder_storage &dec = instance->decoder;
  if (resampler_takes(dec, frame)) return true;
  if (frame->sample_rate <= 0 || !av_channel_layout_check(&frame->ch_layout) ||
      av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format)) <= 0) {
    return false;
  }
  if (drain_resampler(instance) < 0) return false;
  return configure_resampler(instance, static_cast<AVSampleFormat>(frame->format),
                             frame->sample_rate, frame->ch_layout);
}

}  // namespace

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
  sent_packet *packet = dec.clock.find(serial_of(frame));
  // After a seek, frames before the anchor packet only settle the codec.
  if (dec.clock.mode == placement::anchoring &&
      (packet == nullptr || packet->serial < dec.clock.anchor_serial)) {
    return true;
  }
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

  const int64_t first = place_frame(instance, frame, packet, delay, converted);
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
