// The decode loop: packets of the chosen stream in, one output block out.
#include "instance.h"

namespace melvor {

namespace {

// Audio was dropped (a damaged or unconverted frame, a packet the codec or
// the demuxer did not deliver): the next frame is not the stream's first,
// whatever its stamp says.
// Audio was dropped. Damaged data is dropped alike by every decode of the
// file; a call that failed (for want of memory, say) is not, and what
// follows it until the next seek teaches nothing about the labels.
void note_lost_audio(decoder_storage &dec, bool damaged) {
  dec.clock.run.loss_noted = true;
  if (!damaged) dec.clock.run.learning = false;
}

int failed(decoder_storage &dec) {
  dec.clock.run.learning = false;
  return 0;
}

// The next packet to decode: one that a seek read ahead, else the demuxer's.
int next_packet(__fmpg_instance__ *instance, AVPacket *packet) {
  decoder_storage &dec = instance->decoder;
  if (!dec.pending.empty()) {
    dec.pending.pop_into(packet);
    return 1;
  }
  return read_selected_audio_packet(instance, packet);
}

// The codec copies the opaque value to every frame it makes of the packet,
// so that each frame can be traced to the packet and its label.
void tag_packet(decoder_storage &dec, AVPacket *packet) {
  const int64_t label = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
  const uint64_t serial = dec.clock.record(label, label != AV_NOPTS_VALUE);
  packet->opaque = reinterpret_cast<void *>(static_cast<uintptr_t>(serial));
}

}  // namespace

int receive_available_frames(__fmpg_instance__ *instance) {
  decoder_storage &dec = instance->decoder;
  int result = 0;
  for (;;) {
    const int ret = avcodec_receive_frame(dec.codec_context.get(), dec.frame.get());
    if (ret == AVERROR(EAGAIN)) return result;
    if (ret == AVERROR_EOF) {
      dec.decoder_eof = true;
      return result;
    }
    // A damaged frame is dropped; the ones after it still play.
    if (ret == AVERROR_INVALIDDATA) {
      note_lost_audio(dec, true);
      continue;
    }
    if (ret < 0) {
      dec.clock.run.learning = false;
      return -1;
    }
    const bool appended = append_converted_frame(instance, dec.frame.get());
    av_frame_unref(dec.frame.get());
    if (!appended) {
      note_lost_audio(dec, false);
      return -1;
    }
    if (dec.buffer_samples > 0) result = 1;
  }
}

int read_selected_audio_packet(__fmpg_instance__ *instance, AVPacket *packet) {
  for (;;) {
    const int ret = av_read_frame(instance->format_context.get(), packet);
    if (ret == AVERROR(ENOMEM)) return -1;
    if (ret < 0) return 0;
    if (packet->stream_index == instance->audio_info.stream_index) return 1;
    av_packet_unref(packet);
  }
}

}  // namespace melvor

extern "C" {

MELVOR_API int fmpg_decode_next(fmpg_instance *h) noexcept {
  using melvor::receive_available_frames;
  if (!melvor::instance_ready(h)) return 0;
  decoder_storage &dec = h->decoder;
  AVCodecContext *codec = dec.codec_context.get();
  dec.clear_output();

  int r = receive_available_frames(h);
  if (r < 0) return 0;
  if (r > 0 && !dec.output.empty()) return 1;

  if (dec.packet == nullptr) dec.packet.reset(av_packet_alloc());
  AVPacket *packet = dec.packet.get();
  if (packet == nullptr) return 0;
  while (!dec.end_of_input) {
    const int read = melvor::next_packet(h, packet);
    if (read < 0) {
      // Not the end: the next call reads on.
      av_packet_unref(packet);
      melvor::note_lost_audio(dec, false);
      return 0;
    }
    if (read == 0) {
      dec.end_of_input = true;
      av_packet_unref(packet);
      break;
    }
    melvor::tag_packet(dec, packet);
    const int ret = avcodec_send_packet(codec, packet);
    av_packet_unref(packet);
    // A damaged packet is dropped like one the codec took; the rest of the
    // file still plays.
    if (ret < 0 && ret != AVERROR(EAGAIN)) {
      melvor::note_lost_audio(dec, ret == AVERROR_INVALIDDATA);
      if (ret != AVERROR_INVALIDDATA) return 0;
    }
    r = receive_available_frames(h);
    if (r < 0) return 0;
    if (r > 0 && !dec.output.empty()) return 1;
  }

  if (!dec.decoder_eof) {
    const int ret = avcodec_send_packet(codec, nullptr);
    if (ret < 0 && ret != AVERROR_EOF) return melvor::failed(dec);
    r = receive_available_frames(h);
    if (r < 0) return 0;
    if (r > 0 && !dec.output.empty()) return 1;
  }
  const int d = melvor::drain_resampler(h);
  return d > 0 && !dec.output.empty() ? 1 : 0;
}

}  // extern "C"
