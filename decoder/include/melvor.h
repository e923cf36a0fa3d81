/*
 * libmelvor: decodes an audio file of any format FFmpeg reads into blocks of
 * interleaved signed 32-bit PCM at the file's own rate and channel count.
 *
 * Every function accepts a null handle and then returns a fixed default.
 * Calls on one handle must not overlap; separate handles are independent.
 * Returned pointers are borrowed: never free them.
 */
#ifndef MELVOR_H
#define MELVOR_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(MELVOR_BUILDING)
#    define MELVOR_API __declspec(dllexport)
#  else
#    define MELVOR_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define MELVOR_API __attribute__((visibility("default")))
#else
#  define MELVOR_API
#endif

/* Nothing is thrown across this interface: to C++ callers every function
 * is noexcept (C++11 and later). */
#if defined(__cplusplus) && \
    (__cplusplus >= 201103L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201103L))
#  define MELVOR_NOEXCEPT noexcept
#else
#  define MELVOR_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque decoder instance. */
typedef struct __fmpg_instance__ fmpg_instance;

/* ---- Lifecycle and versions ------------------------------------------- */

/* New instance, or null when the FFmpeg libraries loaded at run time have
 * other major versions than the ones built against (reported on stderr). */
MELVOR_API fmpg_instance *fmpg_init(void) MELVOR_NOEXCEPT;
/* Closes any open file and releases the instance. */
MELVOR_API void fmpg_free(fmpg_instance *h) MELVOR_NOEXCEPT;
/* 1 when the run-time FFmpeg majors equal the build's, else 0. */
MELVOR_API int fmpg_compatible_ffmpeg(void) MELVOR_NOEXCEPT;
/* This library's version, packed as major << 16 | minor << 8 | micro. */
MELVOR_API int fmpg_version(void) MELVOR_NOEXCEPT;
/* The FFmpeg versions built against; a process-wide buffer. */
MELVOR_API const char *fmpg_ffmpeg_version(void) MELVOR_NOEXCEPT;
/* "major.minor.micro" of a packed version; a process-wide buffer that the
 * next call overwrites. */
MELVOR_API const char *fmpg_int_version2string(int version) MELVOR_NOEXCEPT;
/* 1 when a file is open and ready to decode. */
MELVOR_API int fmpg_is_open(fmpg_instance *h) MELVOR_NOEXCEPT;

/* ---- File and stream ---------------------------------------------------- */

/* Opens a file on a closed instance: 1 on success, 0 otherwise. An open
 * instance must be closed first. */
MELVOR_API int fmpg_open_file(fmpg_instance *h, const char *path) MELVOR_NOEXCEPT;
MELVOR_API void fmpg_close(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API int fmpg_audio_stream_count(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API int fmpg_audio_sample_rate(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API int fmpg_audio_channels(fmpg_instance *h) MELVOR_NOEXCEPT;
/* The output sample format: always 32 bits, 4 bytes. */
MELVOR_API int fmpg_audio_bits_per_sample(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API int fmpg_audio_bytes_per_sample(fmpg_instance *h) MELVOR_NOEXCEPT;
/* -1 when the file does not tell its duration. */
MELVOR_API int64_t fmpg_duration_ms(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API int64_t fmpg_duration_samples(fmpg_instance *h) MELVOR_NOEXCEPT;

/* ---- Tags (never null; empty when absent) ------------------------------- */

MELVOR_API const char *fmpg_file_title(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API const char *fmpg_file_author(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API const char *fmpg_file_album(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API const char *fmpg_file_genre(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API const char *fmpg_file_comment(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API const char *fmpg_file_copyright(fmpg_instance *h) MELVOR_NOEXCEPT;
/* -1 when absent. */
MELVOR_API int fmpg_file_year(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API int fmpg_file_track(fmpg_instance *h) MELVOR_NOEXCEPT;
/* Container bit rate in bits per second; -1 when unknown. */
MELVOR_API int fmpg_file_bitrate(fmpg_instance *h) MELVOR_NOEXCEPT;

/* ---- Decoding ----------------------------------------------------------- */

/* Decodes the next block: 1 when the block holds samples, 0 at the end of
 * the stream or on a failure (a later call goes on where decoding stopped). */
MELVOR_API int fmpg_decode_next(fmpg_instance *h) MELVOR_NOEXCEPT;

/* ---- The output block --------------------------------------------------- */
/* Interleaved signed 32-bit samples in native byte order, at
 * fmpg_audio_sample_rate and fmpg_audio_channels. The bytes belong to the
 * instance and stay valid until the next decode, seek, open, close or free.
 * Sample indices count sample frames from stream time 0. */

/* First byte of the block; null when the block is empty. */
MELVOR_API const uint8_t *fmpg_buffer(fmpg_instance *h) MELVOR_NOEXCEPT;
/* Bytes in the block: samples x channels x 4. */
MELVOR_API int fmpg_buffer_size(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API int64_t fmpg_buffer_samples(fmpg_instance *h) MELVOR_NOEXCEPT;
/* Index of the block's first sample, and that index plus its samples. */
MELVOR_API int64_t fmpg_buffer_start_sample(fmpg_instance *h) MELVOR_NOEXCEPT;
MELVOR_API int64_t fmpg_buffer_end_sample(fmpg_instance *h) MELVOR_NOEXCEPT;
/* Index of the next sample decoding will produce. */
MELVOR_API int64_t fmpg_sample_position(fmpg_instance *h) MELVOR_NOEXCEPT;
/* Seconds of the block's first sample (after a seek: the requested time). */
MELVOR_API double fmpg_timecode(fmpg_instance *h) MELVOR_NOEXCEPT;

/* ---- Seeking ------------------------------------------------------------ */

/* Moves to a time in milliseconds: 1 done, 0 failed or ms negative. The next
 * block starts at the sample of that time (rounded half up) whenever the
 * file's frames reach back to it. */
MELVOR_API int fmpg_seek_ms(fmpg_instance *h, int64_t ms) MELVOR_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* MELVOR_H */
