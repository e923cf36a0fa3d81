// The decode loop: packets of the chosen stream in, one output block out.
#include "instance.h"

namespace melvor {

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
    if (ret == AVERROR_INVALIDDATA) continue;
    if (ret < 0) return -1;
    const bool appended = append_converted_frame(instance, dec.frame.get());
    av_frame_unref(dec.frame.get());
    if (!appended) return -1;
    if (dec.buffer_samples > 0) result = 1;
  }
}

bool read_selected_audio_packet(__fmpg_instance__ *instance, AVPacket *packet) {
  for (;;) {
    if (av_read_frame(instance->format_context.get(), packet) < 0) return false;
    if (packet->stream_index == instance->audio_info.stream_index) return true;
    av_packet_unref(packet);
  }
}

}  // namespace melvor

extern "C" {

MELVOR_API int fmpg_decode_next(fmpg_instance *h) {
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
    if (!melvor::read_selected_audio_packet(h, packet)) {
      dec.end_of_input = true;
      av_packet_unref(packet);
      break;
    }
    const int ret = avcodec_send_packet(codec, packet);
    av_packet_unref(packet);
    // A damaged packet is dropped like one the codec took; the rest of the
    // file still plays.
    if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_INVALIDDATA) return 0;
    r = receive_available_frames(h);
    if (r < 0) return 0;
    if (r > 0 && !dec.output.empty()) return 1;
  }

  if (!dec.decoder_eof) {
    const int ret = avcodec_send_packet(codec, nullptr);
    if (ret < 0 && ret != AVERROR_EOF) return 0;
    r = receive_available_frames(h);
    if (r < 0) return 0;
    if (r > 0 && !dec.output.empty()) return 1;
  }
  const int d = melvor::drain_resampler(h);
  return d > 0 && !dec.output.empty() ? 1 : 0;
}

}  // extern "C"
