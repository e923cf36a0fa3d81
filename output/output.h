// Internals of libsandrel: the handle record, the block queue, sample
// conversion and the waiting helpers. Nothing here is exported.
//
// The shared sources serve both variants. What differs between them is
// behind the variant rules at the end of this header, defined once per
// variant in variant_linux.cpp and variant_macos.cpp; their waiting
// primitives are in platform/.
#ifndef SANDREL_OUTPUT_H
#define SANDREL_OUTPUT_H

#include <ao/ao.h>
#include <pthread.h>
#include <stdint.h>

#include "platform/wait.h"
#include "sandrel.h"

namespace sandrel {

enum { kAudioBlock = 1, kStopElement = 2 };

// Volume in hundredths of a percent that leaves blocks untouched.
enum { kUnityVolume = 10000 };

// What a handle publishes before its playback thread has taken anything.
const double kNoSecond = -1.0;
const int32_t kNoMusicId = -1;
const double kNoDuration = 0.0;

// The playback thread's timed take on an empty queue, in milliseconds.
enum { kTakeTimeoutMs = 250 };

struct queue_elem {
  int32_t kind;
  char *data;  // the element's own copy; null when it carries no bytes
  int32_t size;
  double at_second;
  double music_duration;
  int32_t music_id;
  queue_elem *next;  // toward the tail
  queue_elem *prev;  // toward the head
};

}  // namespace sandrel

// One output stream. Fields marked "set once" are written before the
// playback thread starts and only read afterwards, without a lock.
struct ao_handle {
  sandrel::queue_elem *first;  // state lock
  sandrel::queue_elem *last;   // state lock
  int32_t paused;              // state lock; the host's nonzero value while paused
  // State lock; never reset. Only the Linux variant has a stopped state.
  int32_t stopped_flag;
  ao_device *device;           // set once
  int32_t requested_bits;      // set once
  int32_t real_bits;           // set once: the width every queued block has
  int32_t byte_format;         // set once
  int32_t channels;            // set once
  int32_t rate;                // set once
  pthread_mutex_t state_lock;
  pthread_mutex_t queue_lock;    // always taken before state_lock
  pthread_t thread;              // set once
  sandrel::wait_sem queue_sem;   // one count per queued element
  sandrel::wait_sem pause_gate;  // one count; held by ao_pause_async while paused
  double at_second;              // state lock; published by the playback thread
  double music_duration;         // state lock
  int32_t music_id;              // state lock
  int32_t bufsize;               // state lock; bytes queued, not yet taken
  int32_t volume;                // state lock; hundredths of a percent
  // Made with the handle, so that ao_stop_async needs no memory; null once
  // queued.
  sandrel::queue_elem *stop_elem;
};

namespace sandrel {

// ---- Waiting helpers -------------------------------------------------------

// -1 for a negative argument, else nanosleep's result (-1 when a signal cut
// the sleep short; it is not resumed).
int msleep(int64_t milliseconds);
// The playback thread's pause after a take that found nothing: 5 ms.
void yield();

// ---- Handle set-up ---------------------------------------------------------

// What a handle needs to run and to end: its locks, its semaphores
// (queue_sem at 0, pause_gate at 1) and its stop element. False (with
// nothing left to destroy) when one cannot be made.
bool setup_sync(ao_handle *h);
// Destroys them, and frees the stop element unless it was queued.
void destroy_sync(ao_handle *h);

// ---- Queue -------------------------------------------------------------------

// A new element with its own copy of `size` bytes of `source` (not read when
// size <= 0), or null with a message on stderr.
queue_elem *new_elem(int kind, int music_id, double at_second, double music_duration, int size,
                     const void *source);
// A new stop element, or null with a message on stderr.
queue_elem *new_stop_elem();
void del_elem(queue_elem *e);
// Links `e` at the tail, counts it and posts queue_sem; false (nothing
// changed) when bufsize, an int, could not count it. Call with the state
// lock held.
bool link_tail(ao_handle *h, queue_elem *e);
// The head element, or null when no count of queue_sem came within
// `timeout_ms` (0: no wait). Call with the queue lock held.
queue_elem *get(ao_handle *h, int timeout_ms);
// Frees everything queued and reports the count; with `stop` nonzero then
// queues the handle's stop element as the only element, before the queue
// lock is let go.
void clear(ao_handle *h, int stop);
// Frees everything queued and returns how many. Call with the queue lock
// held, or when no other thread can touch the handle any more.
int drop_all(ao_handle *h);

// ---- Conversion and volume -------------------------------------------------

// 8, 16, 24 and 32 bits; nothing else is converted, scaled or opened.
bool supported_width(int bits);
int littleEndian();
// The byte order flag (nonzero: little-endian) of a byte-format code.
int little_endian_for(int byte_format);
int32_t read_sample(const unsigned char *p, int bytes, int little);
void store_sample(unsigned char *p, int32_t value, int bytes, int little);
// Narrowing follows the variant's rule (narrow_sample); widening shifts left.
int32_t convert_bits(int32_t value, int from_bits, int to_bits);
// A new buffer (free it) with the block at the device width, and its length
// in *out_length; null and 0 when there is nothing to convert, a width is
// not supported, or the result does not fit (with a message).
char *convert_req_to_real(const void *source, int length, int in_bits, int out_bits,
                          int byte_format, int *out_length);
// Scales the whole samples of a block in place, saturating at the limits
// of the width.
void adjustVolume(char *data, int length, int volume, int bits, int byte_format);
// The volume in hundredths for a percent: truncated, clamped to the int
// range, 9990..10010 made exactly unity. False for NaN.
bool volume_from_percent(double percent, int32_t *volume);

// ---- Device --------------------------------------------------------------------

void init_ao();
void at_exit_shutdown_ao();
// Opens at `bits`, else 24, else 16 (narrower widths only); stores the width
// that opened. Null when none did, with libao's code left in errno.
ao_device *try_open_device(int bits, int rate, int channels, int byte_format, const char *filename,
                           int *opened_bits);
void *run(void *handle);

// ---- Variant rules ---------------------------------------------------------
// Everything in which the Linux and the macOS variant differ; each variant
// defines these in a file of its own (variant_linux.cpp, variant_macos.cpp).

// ao_async_version: 0x10001 on Linux, 0x10000 in the macOS variant.
int interface_version();
// Whether the handle refuses blocks and clears: on Linux once it is stopped
// (`lock` 0: the caller holds the state lock); the macOS variant never is.
int stopped(ao_handle *h, int lock);
// The width of the blocks given to ao_play_async: the format record's on
// Linux, the one the handle was created with in the macOS variant.
int block_bits(const ao_handle *h, const sandrel_format &format);
// Whether ao_play_async queues a block even when the conversion gave no
// bytes (the macOS variant: exactly one block per call).
bool queues_empty_blocks();
// A producer's add: takes the element over and links it at the tail, or
// frees it when refused (bufsize would overflow; on Linux also a stopped
// handle). On Linux it waits for the queue lock; in the macOS variant it
// takes only the state lock.
void add(ao_handle *h, queue_elem *e);
// A sample narrowed by `shift` bits: truncated toward zero on Linux, an
// arithmetic shift (toward minus infinity) in the macOS variant.
int32_t narrow_sample(int32_t value, int shift);
// ao_play returned 0 for a block: true when the playback thread is to end.
// Linux reports it and stops the handle; the macOS variant plays on.
bool ends_on_failed_write(ao_handle *h);
// The stop's clear, before the pause gate is opened: Linux stops the handle
// and leaves the stop element as the only element; the macOS variant only
// clears.
void clear_for_stop(ao_handle *h);
// After the pause gate is opened: the macOS variant queues the stop element
// here.
void queue_stop_after_gate(ao_handle *h);

}  // namespace sandrel

#endif
