/*
 * libsandrel: plays blocks of interleaved signed PCM asynchronously through
 * libao, one playback thread per handle, or writes them to a WAV file.
 *
 * A handle is created with the device parameters, takes blocks tagged with a
 * piece id and a second, converts them to the width the device accepted,
 * queues them and plays them in order. None of the calls waits for the
 * device; diagnostics go to stderr.
 *
 * Null handles: every function that takes a handle accepts null. Calls
 * without a result do nothing; queries answer as a handle that has not
 * played anything yet: second -1.0, music id -1, duration 0.0, 0 bytes
 * queued, volume 100.0; the device width of a null handle is 0.
 *
 * Threads: any thread may call any function, also several at once on one
 * handle, except ao_stop_async, which must be the last call on a handle
 * with no other call under way. The first ao_create_async of the process
 * initialises libao; it registers libao's shutdown to run at exit.
 *
 * Two builds: the Linux one, and the macOS one (libdispatch), whose
 * differences the calls below name. The macOS build can be made on Linux
 * too, for testing.
 *
 * This header does not need libao's headers.
 */
#ifndef SANDREL_H
#define SANDREL_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(SANDREL_BUILDING)
#    define SANDREL_API __declspec(dllexport)
#  else
#    define SANDREL_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define SANDREL_API __attribute__((visibility("default")))
#else
#  define SANDREL_API
#endif

/* Nothing is thrown across this interface: to C++ callers every function
 * is noexcept (C++11 and later). */
#if defined(__cplusplus) && \
    (__cplusplus >= 201103L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201103L))
#  define SANDREL_NOEXCEPT noexcept
#else
#  define SANDREL_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque output handle. */
typedef struct ao_handle ao_handle;

/* Byte-format codes (the same values as libao's). NATIVE is the byte order
 * of the processor; any code other than LITTLE and NATIVE means big-endian. */
#define SANDREL_FMT_LITTLE 1
#define SANDREL_FMT_BIG 2
#define SANDREL_FMT_NATIVE 4

/* Describes the block given to ao_play_async; passed by value. Only `bits`
 * (bytes 4 to 7 of the record) is read: the sample width of the block, 8,
 * 16, 24 or 32. A host may pass a larger record of its own instead, as long
 * as it is larger than 16 bytes and holds the width in its second 32-bit
 * field; the other fields are the host's and are never looked at. The
 * macOS build reads none of it. */
typedef struct sandrel_format {
  int32_t head;
  int32_t bits;
  int32_t rest[4];
} sandrel_format;

/* Interface version, packed as major << 16 | minor << 8 | micro: 0x10001
 * for the Linux build, 0x10000 for the macOS build. */
SANDREL_API int ao_async_version(void) SANDREL_NOEXCEPT;

/* Opens the default live device, or with a file name a WAV file (replacing
 * any file of that name), and starts the playback thread. `bits` must be 8,
 * 16, 24 or 32; when the device refuses it, 24 and then 16 bits are tried
 * (only narrower widths). Null when no device opens, the width is not
 * supported, or the thread cannot start; the reason goes to stderr. */
SANDREL_API ao_handle *ao_create_async(int bits, int rate, int channels, int byte_format,
                                       const char *filename) SANDREL_NOEXCEPT;

/* Drops what is queued, lets the block being written finish, ends the
 * playback thread, closes the device and frees the handle. */
SANDREL_API void ao_stop_async(ao_handle *h) SANDREL_NOEXCEPT;

/* The sample width the device opened with; every queued block is converted
 * to it. */
SANDREL_API int ao_real_output_bits_async(ao_handle *h) SANDREL_NOEXCEPT;

/* Copies `length` bytes of `data` (samples of format.bits, in the handle's
 * byte order), converted to the device width, to the end of the queue; the
 * caller keeps its buffer. `music_id`, `at_second` and `music_duration` are
 * carried with the block and published when it is played. Nothing is
 * queued for a null `data`, a length of 0 or less, a width other than 8,
 * 16, 24 or 32, a block shorter than one sample when the widths differ, or
 * after a device failure or the start of ao_stop_async. While the queue is
 * empty this may wait up to 250 ms for the playback thread.
 *
 * The macOS build differs: the format record is not read, and the data
 * has the width given to ao_create_async. Every call queues exactly one
 * block; when there is nothing to convert (no data, a length of 0 or
 * less, less than one sample) the block is empty: it adds no bytes, and
 * its id and times are published when the thread reaches it. Nothing is
 * refused, and the call never waits for the playback thread. Samples
 * narrowed to the device width round toward minus infinity (an
 * arithmetic shift) where the Linux build truncates toward zero. */
SANDREL_API void ao_play_async(ao_handle *h, int music_id, double at_second,
                               double music_duration, int length, const void *data,
                               sandrel_format format) SANDREL_NOEXCEPT;

/* Drops every queued block (the one being written plays to its end) and
 * writes the count to stderr. Does nothing after a device failure (in the
 * macOS build a device failure stops nothing: blocks go on being played). */
SANDREL_API void ao_clear_async(ao_handle *h) SANDREL_NOEXCEPT;

/* Nonzero pauses: the playback thread finishes the block it is on and then
 * waits. 0 resumes. Pausing while paused, or resuming while playing,
 * changes nothing. The device itself is not paused; it just gets nothing. */
SANDREL_API void ao_pause_async(ao_handle *h, int pause) SANDREL_NOEXCEPT;

/* Volume in percent, 100.0 is unity; kept in hundredths, truncated toward
 * zero, with 99.9 to 100.1 taken as exactly 100. Values beyond the int
 * range of hundredths are clamped to it; NaN leaves the volume unchanged.
 * Scaled samples saturate at the limits of the device width. Applies from
 * the next block the playback thread takes, queued ones included. */
SANDREL_API void ao_set_volume_async(ao_handle *h, double percent) SANDREL_NOEXCEPT;
SANDREL_API double ao_volume_async(ao_handle *h) SANDREL_NOEXCEPT;

/* What the playback thread took last (the block being written or just
 * written): its second, music id and piece duration; -1.0, -1 and 0.0
 * before the first block. */
SANDREL_API double ao_is_at_second_async(ao_handle *h) SANDREL_NOEXCEPT;
SANDREL_API int ao_is_at_music_id_async(ao_handle *h) SANDREL_NOEXCEPT;
SANDREL_API double ao_music_duration_async(ao_handle *h) SANDREL_NOEXCEPT;

/* Bytes queued and not yet taken by the playback thread, at the device
 * width. Hosts pace themselves by it. */
SANDREL_API int ao_bufsize_async(ao_handle *h) SANDREL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* SANDREL_H */
