// A plain FFmpeg decode of a file's best audio stream: send/receive and
// swr_convert to interleaved s32 at the stream parameters' rate and layout,
// nothing else. The tests compare lossy decodes with it, and the benchmark
// measures against it.
#ifndef MELVOR_TESTS_PLAIN_DECODE_H
#define MELVOR_TESTS_PLAIN_DECODE_H

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace plain {

struct Result {
  bool ok = false;
  int rate = 0;
  int channels = 0;
  int64_t samples = 0;          // per channel
  uint64_t checksum = 0;        // of every converted byte, kept or not
  std::vector<int32_t> pcm;     // interleaved, when asked for
};

class Decoder {
 public:
  ~Decoder() {
    av_channel_layout_uninit(&out_layout_);
    swr_free(&swr_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    avformat_close_input(&format_);
  }

  Result run(const char *path, bool keep_pcm) {
    Result r;
    if (avformat_open_input(&format_, path, nullptr, nullptr) < 0) return r;
    if (avformat_find_stream_info(format_, nullptr) < 0) return r;
    const int index = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) return r;
    const AVStream *stream = format_->streams[index];
    const AVCodec *codec = avcodec_find_decoder(stream->codecpar->codec_id);
    codec_ = avcodec_alloc_context3(codec);
    if (codec_ == nullptr || avcodec_parameters_to_context(codec_, stream->codecpar) < 0) return r;
    codec_->pkt_timebase = stream->time_base;
    if (avcodec_open2(codec_, codec, nullptr) < 0) return r;
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (packet_ == nullptr || frame_ == nullptr) return r;
    r.rate = stream->codecpar->sample_rate;
    r.channels = stream->codecpar->ch_layout.nb_channels;
    if (av_channel_layout_copy(&out_layout_, &stream->codecpar->ch_layout) < 0) return r;

    bool failed = false;
    while (!failed && av_read_frame(format_, packet_) >= 0) {
      if (packet_->stream_index == index) {
        const int ret = avcodec_send_packet(codec_, packet_);
        // Like FFmpeg's own tools: a damaged packet is skipped.
        if (ret < 0 && ret != AVERROR_INVALIDDATA) failed = true;
        else failed = !receive(r, keep_pcm);
      }
      av_packet_unref(packet_);
    }
    if (failed || avcodec_send_packet(codec_, nullptr) < 0 || !receive(r, keep_pcm)) return r;
    r.ok = true;
    return r;
  }

 private:
  bool receive(Result &r, bool keep_pcm) {
    for (;;) {
      const int ret = avcodec_receive_frame(codec_, frame_);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
      if (ret == AVERROR_INVALIDDATA) continue;
      if (ret < 0) return false;
      const bool converted = convert(r, keep_pcm);
      av_frame_unref(frame_);
      if (!converted) return false;
    }
  }

  bool convert(Result &r, bool keep_pcm) {
    if (swr_ == nullptr) {
      if (swr_alloc_set_opts2(&swr_, &out_layout_, AV_SAMPLE_FMT_S32, r.rate, &frame_->ch_layout,
                              static_cast<AVSampleFormat>(frame_->format), frame_->sample_rate, 0,
                              nullptr) < 0 ||
          swr_init(swr_) < 0) {
        return false;
      }
    }
    const int capacity = swr_get_out_samples(swr_, frame_->nb_samples);
    if (capacity < 0) return false;
    buffer_.resize(static_cast<size_t>(capacity) * static_cast<size_t>(r.channels));
    uint8_t *out[] = {reinterpret_cast<uint8_t *>(buffer_.data())};
    const int n = swr_convert(swr_, out, capacity, frame_->extended_data, frame_->nb_samples);
    if (n < 0) return false;
    const size_t values = static_cast<size_t>(n) * static_cast<size_t>(r.channels);
    for (size_t i = 0; i < values; i += 97) r.checksum += static_cast<uint32_t>(buffer_[i]);
    if (keep_pcm) r.pcm.insert(r.pcm.end(), buffer_.begin(), buffer_.begin() + values);
    r.samples += n;
    return true;
  }

  AVFormatContext *format_ = nullptr;
  AVCodecContext *codec_ = nullptr;
  AVPacket *packet_ = nullptr;
  AVFrame *frame_ = nullptr;
  SwrContext *swr_ = nullptr;
  AVChannelLayout out_layout_{};
  std::vector<int32_t> buffer_;
};

inline Result decode(const char *path, bool keep_pcm = true) {
  Decoder d;
  return d.run(path, keep_pcm);
}

}  // namespace plain

#endif
