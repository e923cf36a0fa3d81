// Sample-exact seeking. The demuxer lands on a packet at or before a point
// some way ahead of the target; the first packet after the landing whose
// label the demuxer read from the file (not guessed from the seek) becomes
// the anchor, and what the decode has learned of the labels gives its exact
// index. Frames before the anchor settle the codec; frames after it are
// counted on from it and trimmed up to the target.
#include "instance.h"

#include <algorithm>


extern "C" {
#include <libavcodec/codec_desc.h>
}

namespace melvor {

namespace {

// Lossy decoders need some history before their output is that of a
// decode from the start.
constexpr int64_t kWarmUpMicroseconds = 200000;
// What a lossy packet may borrow from the bytes of the packets before it.
constexpr int64_t kWarmUpBytes = 4096;
constexpr int64_t kLongestWarmUpMicroseconds = 5000000;
// Reading on for an anchor stops here: the file has nothing to anchor to.
constexpr size_t kLongestReadAhead = 4096;
// Each attempt after a late landing goes four times further back.
constexpr int kAttempts = 5;
// Index entries go this many frames past a raw stream's target.
constexpr int64_t kFramesBeyond = 64;
// Packets decoded from the start so that the labels can be mapped.
constexpr int kPrimingBlocks = 16;

bool lossless(const AVStream *stream) {
  const AVCodecDescriptor *descriptor = avcodec_descriptor_get(stream->codecpar->codec_id);
  return descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_LOSSLESS);
}

// Samples decoded before the target to settle the codec: none for lossless
// codecs, whose packets decode on their own.
int64_t settling_samples(const __fmpg_instance__ *instance, const AVStream *stream) {
  if (lossless(stream)) return 0;
  const AVCodecParameters *par = stream->codecpar;
  int64_t microseconds = kWarmUpMicroseconds;
  if (par->seek_preroll > 0 && par->sample_rate > 0) {
    microseconds = std::max(
        microseconds, av_rescale_rnd(par->seek_preroll, 1000000, par->sample_rate, AV_ROUND_UP));
  }
  int64_t bit_rate = par->bit_rate;
  if (bit_rate <= 0) bit_rate = instance->format_context->bit_rate;
  if (bit_rate > 0) {
    microseconds = std::max(microseconds, kWarmUpBytes * 8 * 1000000 / bit_rate);
  }
  microseconds = std::min(microseconds, kLongestWarmUpMicroseconds);
  return av_rescale(microseconds, instance->audio_info.sample_rate, 1000000);
}

// The anchor is at least the second packet after the landing: land this
// much further back.
int64_t packet_margin(const __fmpg_instance__ *instance, const AVStream *stream) {
  return std::max<int64_t>(
      {instance->decoder.clock.labels.largest_packet(), stream->codecpar->frame_size, 1024});
}

int64_t label_of(const AVPacket *packet) {
  return packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
}

enum class landed { failed, anchored, unmapped, at_end };

struct landing {
  landed result = landed::failed;
  packet_queue packets;  // read from the landing on
  size_t anchor = 0;               // of packets
  int64_t anchor_index = -1;
};

// Moves the demuxer to a packet at or before sample `point` and reads on to
// the anchor. Demuxers label the packets of the unit they land in (an Ogg
// page, a Musepack block) by guesswork and those of the next unit by what
// the file says, so the anchor is first the packet that no longer shares
// the landing packet's position in the file. From there every label maps,
// and the anchor moves on as long as it stays at or before `settled`:
// what lies before it needs no decoding. `keep` packets before the anchor
// stay, for codecs whose frames overlap the packet before.
landing land_before(__fmpg_instance__ *instance, int64_t point, int64_t settled, size_t keep) {
  landing l;
  const AVStream *stream = selected_stream(instance);
  const label_model &labels = instance->decoder.clock.labels;
  const int64_t at = av_rescale_q(point, AVRational{1, instance->audio_info.sample_rate},
                                  stream->time_base);
  if (av_seek_frame(instance->format_context.get(), instance->audio_info.stream_index, at,
                    AVSEEK_FLAG_BACKWARD) < 0) {
    return l;
  }
  int64_t landing_position = 0;
  bool trusted = false;
  for (size_t read_ahead = 0; read_ahead < kLongestReadAhead; ++read_ahead) {
    packet_ptr packet(av_packet_alloc());
    if (packet == nullptr) return landing{};
    const int read = read_selected_audio_packet(instance, packet.get());
    // A read that failed may have lost its packet: nothing read here holds.
    if (read < 0) return landing{};
    if (read == 0) {
      if (l.result != landed::anchored) l.result = landed::at_end;
      break;
    }
    const int64_t position = packet->pos;
    const int64_t label = label_of(packet.get());
    const bool first = read_ahead == 0;
    if (!l.packets.push(std::move(packet))) return landing{};
    if (first) {
      landing_position = position;
      continue;
    }
    trusted = trusted || position != landing_position || position < 0;
    if (!trusted || label == AV_NOPTS_VALUE) continue;
    const int64_t index = labels.index_of(label);
    if (l.result != landed::anchored) {
      l.anchor = l.packets.size() - 1;
      l.anchor_index = index;
      l.result = index >= 0 ? landed::anchored : landed::unmapped;
      if (index < 0 || index > settled) break;
      continue;
    }
    if (index < 0 || index > settled) break;
    l.anchor = l.packets.size() - 1;
    l.anchor_index = index;
    while (l.anchor > keep) {
      l.packets.drop_front();
      --l.anchor;
    }
  }
  return l;
}

// Raw streams: the index entries the demuxer needs to go straight to the
// frames up to `settled`, and some beyond, so that it need not read on from
// the last one.
void cover_frames(__fmpg_instance__ *instance, int64_t settled) {
  decoder_storage &dec = instance->decoder;
  const label_model &labels = dec.clock.labels;
  const int64_t samples = labels.packet_samples();
  const int64_t second = labels.second_index();
  if (samples <= 0 || second < 0 || settled < second) return;
  const int64_t number = (settled - second) / samples + 1;
  dec.frames.cover(instance, number + kFramesBeyond, labels.label_step());
}

// Reads the stream's first packets again after a rewind; true, with them in
// `ahead`, when they are the ones the open read.
bool reads_opening_packets(__fmpg_instance__ *instance, packet_queue &ahead) {
  const decoder_storage &dec = instance->decoder;
  for (int i = 0; i < dec.opening_packet_count; ++i) {
    packet_ptr packet(av_packet_alloc());
    if (packet == nullptr || read_selected_audio_packet(instance, packet.get()) != 1) return false;
    const packet_print print = packet_print::of(packet.get());
    if (!ahead.push(std::move(packet))) return false;
    if (!print.same_as(dec.opening_packets[i], dec.codec_context->delay)) return false;
  }
  return true;
}

// Opens the file anew: the one way back to the start that is exact in every
// container, and the slowest (the streams are probed again), so the last.
bool reopen(__fmpg_instance__ *instance, packet_queue &ahead) {
  const AVFormatContext *old = instance->format_context.get();
  const int index = instance->audio_info.stream_index;
  AVFormatContext *context = nullptr;
  if (old->url == nullptr || avformat_open_input(&context, old->url, nullptr, nullptr) < 0) {
    return false;
  }
  format_context_ptr fresh(context);
  if (avformat_find_stream_info(context, nullptr) < 0 ||
      static_cast<unsigned>(index) >= context->nb_streams ||
      context->streams[index]->codecpar->codec_id != old->streams[index]->codecpar->codec_id) {
    return false;
  }
  instance->format_context = std::move(fresh);
  instance->decoder.frames.reset();  // its entries were the old demuxer's
  return reads_opening_packets(instance, ahead);
}

// Moves the demuxer back to the stream's first packet. Seeking to its label
// is exact in most containers; a byte seek to its position in the others
// that allow it; opening the file anew in the rest. The packets read to tell
// are kept in `ahead`.
bool rewind(__fmpg_instance__ *instance, packet_queue &ahead) {
  const decoder_storage &dec = instance->decoder;
  AVFormatContext *context = instance->format_context.get();
  const int index = instance->audio_info.stream_index;
  if (dec.opening_packet_count == 0) {
    // The open read nothing: no packet to come back to, and none to miss.
    const AVStream *stream = selected_stream(instance);
    const int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    return av_seek_frame(context, index, start, AVSEEK_FLAG_BACKWARD) >= 0;
  }
  const packet_print &first = dec.opening_packets[0];
  const struct {
    int64_t at;
    int flags;
  } ways[] = {{first.label, AVSEEK_FLAG_BACKWARD}, {first.position, AVSEEK_FLAG_BYTE}};
  for (const auto &way : ways) {
    ahead.clear();
    if (way.at == AV_NOPTS_VALUE || (way.flags == AVSEEK_FLAG_BYTE && way.at < 0)) continue;
    if (av_seek_frame(context, index, way.at, way.flags) >= 0 &&
        reads_opening_packets(instance, ahead)) {
      return true;
    }
  }
  ahead.clear();
  return reopen(instance, ahead);
}

// Back to the stream's start with a fresh decoder: what follows is exactly
// what the open gave.
bool begin_from_start(__fmpg_instance__ *instance, int64_t target, double seconds) {
  decoder_storage &dec = instance->decoder;
  // The decoder first: where none can be made, nothing has moved yet.
  codec_context_ptr fresh = fresh_decoder(instance);
  if (fresh == nullptr) return false;
  packet_queue ahead;
  if (!rewind(instance, ahead) || !install_decoder(instance, std::move(fresh))) return false;
  dec.begin_at(target, seconds, std::move(ahead), placement::stream_start);
  return true;
}

// Decodes the stream's first packets from a rewind, so that their labels
// can be mapped.
void learn_labels(__fmpg_instance__ *instance) {
  decoder_storage &dec = instance->decoder;
  if (!begin_from_start(instance, 0, 0.0)) return;
  for (int i = 0; i < kPrimingBlocks && !dec.clock.labels.primed(); ++i) {
    if (fmpg_decode_next(instance) == 0 && dec.end_of_input) break;
  }
}

enum class sought { landed, failed, from_start };

// Lands the demuxer before the target and anchors there; further back after
// a late landing.
sought seek_by_labels(__fmpg_instance__ *h, int64_t target, double seconds) {
  decoder_storage &dec = h->decoder;
  const AVStream *stream = selected_stream(h);
  const int64_t first = std::max<int64_t>(dec.clock.labels.first_index(), 0);
  // Past the known end, the point to land before is the end.
  int64_t latest = target;
  if (h->audio_info.duration_samples > 0) latest = std::min(latest, h->audio_info.duration_samples);
  const int64_t settle = settling_samples(h, stream);
  const int64_t settled = target - settle;
  const size_t keep = settle > 0 ? 1 : 0;
  int64_t reach = settle + 2 * packet_margin(h, stream);
  const bool by_frames = frame_index::serves(h);
  for (int attempt = 0; attempt < kAttempts; ++attempt, reach *= 4) {
    const int64_t point = latest - reach;
    if (point <= first) break;
    if (by_frames) cover_frames(h, settled);
    landing l = land_before(h, point, settled, keep);
    if (l.result == landed::unmapped) break;
    if (l.result != landed::anchored) continue;
    // Landed too late to settle the codec before the target: further back.
    // (Past the end there is nothing to settle.)
    if (l.anchor_index > settled && target <= latest) continue;
    avcodec_flush_buffers(dec.codec_context.get());
    swr_close(dec.resampler.get());
    if (swr_init(dec.resampler.get()) < 0) return sought::failed;
    const uint64_t anchor_serial = dec.clock.next_serial + l.anchor;
    dec.begin_at(target, seconds, std::move(l.packets), placement::anchoring, anchor_serial,
                 l.anchor_index);
    return sought::landed;
  }
  return sought::from_start;
}

}  // namespace

}  // namespace melvor

extern "C" {

MELVOR_API int fmpg_seek_ms(fmpg_instance *h, int64_t ms) noexcept {
  using namespace melvor;
  if (!instance_ready(h) || ms < 0 || selected_stream(h) == nullptr) return 0;
  decoder_storage &dec = h->decoder;
  const int rate = h->audio_info.sample_rate;
  const double seconds = static_cast<double>(ms) / 1000.0;
  const int64_t target = std::min(samples_from_seconds(seconds, rate), kIndexLimit);

  // Learning starts with a rewind: where the demuxer cannot seek at all, it
  // fails before anything has moved, and the seek with it. Near the start
  // the seek decodes from the start anyway.
  const AVStream *stream = selected_stream(h);
  if (!dec.clock.labels.primed() &&
      target > settling_samples(h, stream) + 2 * packet_margin(h, stream)) {
    learn_labels(h);
  }
  const sought result = seek_by_labels(h, target, seconds);
  if (result == sought::landed) return 1;
  if (result == sought::failed) return 0;
  // From the start, decoding forward: near the start, and wherever the
  // labels cannot tell where the demuxer landed.
  return begin_from_start(h, target, seconds) ? 1 : 0;
}

}  // extern "C"
