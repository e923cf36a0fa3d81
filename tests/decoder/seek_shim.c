/* Stands in front of FFmpeg's av_seek_frame, to make the demuxer refuse to
 * seek, go to the start instead, or land late, as some demuxers do with
 * some files; and in front of avcodec_open2, to make it fail. */
#define _GNU_SOURCE
#include <dlfcn.h>

#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>

#include "seek_shim.h"

static enum seek_shim_mode mode = SEEK_SHIM_REAL;
static double late = 0.0;
static int calls = 0;
static int fail_codec_opens = 0;

void seek_shim_set(enum seek_shim_mode m, double late_seconds) {
  mode = m;
  late = late_seconds;
  calls = 0;
}

int seek_shim_calls(void) { return calls; }

int av_seek_frame(AVFormatContext *s, int stream_index, int64_t timestamp, int flags) {
  typedef int (*seek_fn)(AVFormatContext *, int, int64_t, int);
  seek_fn real = (seek_fn)dlsym(RTLD_NEXT, "av_seek_frame");
  ++calls;
  if (real == NULL || mode == SEEK_SHIM_REFUSE) return AVERROR(ENOSYS);
  if (mode == SEEK_SHIM_REAL || (flags & AVSEEK_FLAG_BYTE) || stream_index < 0) {
    return real(s, stream_index, timestamp, flags);
  }
  const AVStream *st = s->streams[stream_index];
  if (mode == SEEK_SHIM_TO_START) {
    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    return real(s, stream_index, start, AVSEEK_FLAG_BACKWARD) < 0 ? -1 : 0;
  }
  return real(s, stream_index, timestamp + (int64_t)(late / av_q2d(st->time_base)), flags);
}

void seek_shim_fail_codec_opens(int fail) { fail_codec_opens = fail; }

int avcodec_open2(AVCodecContext *avctx, const AVCodec *codec, AVDictionary **options) {
  typedef int (*open_fn)(AVCodecContext *, const AVCodec *, AVDictionary **);
  open_fn real = (open_fn)dlsym(RTLD_NEXT, "avcodec_open2");
  if (real == NULL || fail_codec_opens) return AVERROR(ENOMEM);
  return real(avctx, codec, options);
}
