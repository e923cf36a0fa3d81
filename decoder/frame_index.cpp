// Frame positions of raw elementary streams, by FFmpeg's parser.
#include "frame_index.h"

#include "instance.h"

#include <algorithm>
#include <vector>

namespace melvor {

namespace {

struct parser_closer {
  void operator()(AVCodecParserContext *p) const { av_parser_close(p); }
};
using parser_ptr = std::unique_ptr<AVCodecParserContext, parser_closer>;

constexpr size_t kChunk = 1 << 16;

}  // namespace

void frame_index::reset() { *this = frame_index{}; }

bool frame_index::serves(const __fmpg_instance__ *instance) {
  const AVFormatContext *context = instance->format_context.get();
  const AVStream *stream = selected_stream(instance);
  const decoder_storage &dec = instance->decoder;
  if (context == nullptr || stream == nullptr || context->url == nullptr) return false;
  if ((context->iformat->flags & AVFMT_NO_BYTE_SEEK) || av_stream_get_parser(stream) == nullptr) {
    return false;
  }
  if (dec.opening_packet_count < 2) return false;
  for (int i = 0; i + 1 < dec.opening_packet_count; ++i) {
    const packet_print &a = dec.opening_packets[i];
    const packet_print &b = dec.opening_packets[i + 1];
    if (a.position < 0 || a.position + a.size != b.position) return false;
  }
  return true;
}

// Parses the file from the end of the last frame found until frame `until`
// is found too (or the file ends). A fresh parser starts on a frame's first
// byte, where the demuxer's own parser stood at that point.
bool frame_index::cover(__fmpg_instance__ *instance, int64_t until, int64_t label_step) {
  const decoder_storage &dec = instance->decoder;
  if (failed_ || label_step <= 0) return false;
  if (until < frames_ || at_end_) return true;
  AVStream *stream = selected_stream(instance);
  const int64_t first_label = dec.opening_packets[0].label;
  if (next_ < 0) next_ = dec.opening_packets[0].position;
  std::unique_ptr<std::FILE, file_closer> file(std::fopen(instance->format_context->url, "rb"));
  parser_ptr parser(av_parser_init(stream->codecpar->codec_id));
  codec_context_ptr codec(avcodec_alloc_context3(nullptr));
  std::vector<uint8_t> chunk;
  try {
    chunk.resize(kChunk + AV_INPUT_BUFFER_PADDING_SIZE);
  } catch (...) {
    return false;
  }
  if (file == nullptr || parser == nullptr || codec == nullptr || fseeko(file.get(), next_, SEEK_SET) != 0) {
    return false;
  }
  int64_t offset = next_;  // of the chunk's first byte not yet given to the parser
  bool end = false;
  while (frames_ <= until && !end) {
    size_t got = std::fread(chunk.data(), 1, kChunk, file.get());
    if (got < kChunk) {
      if (std::ferror(file.get())) return false;
    }
    end = got == 0;
    std::fill(chunk.begin() + static_cast<ptrdiff_t>(got), chunk.end(), 0);
    const uint8_t *data = chunk.data();
    int left = static_cast<int>(got);
    // At the end, empty calls give out what the parser still holds.
    do {
      uint8_t *out = nullptr;
      int out_size = 0;
      const int used = av_parser_parse2(parser.get(), codec.get(), &out, &out_size, data, left,
                                        AV_NOPTS_VALUE, AV_NOPTS_VALUE, offset);
      if (used < 0) return false;
      data += used;
      left -= used;
      offset += used;
      if (out_size <= 0) {
        if (end) break;
        continue;
      }
      const int64_t start = offset - out_size;
      // The first frames must be the packets the demuxer gave at opening.
      if (frames_ < dec.opening_packet_count && start != dec.opening_packets[frames_].position) {
        failed_ = true;
        return false;
      }
      if (frames_ % kEvery == 0 &&
          av_add_index_entry(stream, start, first_label + frames_ * label_step, out_size, 0,
                             AVINDEX_KEYFRAME) < 0) {
        return false;
      }
      ++frames_;
      next_ = offset;
      if (frames_ > until && !end) break;
    } while (left > 0 || end);
  }
  if (end) at_end_ = true;
  return true;
}

}  // namespace melvor
