#ifndef MELVOR_TESTS_SEEK_SHIM_H
#define MELVOR_TESTS_SEEK_SHIM_H
#ifdef __cplusplus
extern "C" {
#endif
/* How the demuxer's seek behaves while a test runs. */
enum seek_shim_mode {
  SEEK_SHIM_REAL,      /* as FFmpeg does */
  SEEK_SHIM_REFUSE,    /* every seek fails: a stream that cannot seek */
  SEEK_SHIM_TO_START,  /* every seek goes to the start, and says it went where asked */
  SEEK_SHIM_LATE       /* every time seek lands later than asked */
};
/* `late_seconds` is how much later, for SEEK_SHIM_LATE. */
void seek_shim_set(enum seek_shim_mode mode, double late_seconds);
/* Seeks asked since the last seek_shim_set. */
int seek_shim_calls(void);
/* While `fail` is set, every avcodec_open2 fails for want of memory: a
 * decoder cannot be made anew. */
void seek_shim_fail_codec_opens(int fail);
#ifdef __cplusplus
}
#endif
#endif
