/* A stand-in for the libao calls libsandrel makes, linked ahead of the real
 * libao so that its definitions win. Tests steer it: which widths a device
 * accepts, the errno of a refusal, which ao_play fails, how fast the device
 * plays, and holding ao_play until released. It records every open attempt,
 * the bytes of every block it accepted and when each ao_play began. */
#ifndef SANDREL_TESTS_FAKE_AO_H
#define SANDREL_TESTS_FAKE_AO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Driver ids the fake hands out. */
#define FAKE_AO_LIVE_ID 7
#define FAKE_AO_WAV_ID 3

struct fake_ao_open {
  int bits, rate, channels, byte_format;
  int matrix_null, options_null;
  int live; /* 1: ao_open_live, 0: ao_open_file */
  int driver_id;
  int overwrite; /* ao_open_file only */
  char filename[256];
};

/* Back to the defaults: every width accepted, refusals give errno 5
 * (AO_EOPENDEVICE), no failing play, no pacing, not held; records emptied. */
void fake_ao_reset(void);
/* Bit w of the mask set: a device opens at w bits. */
void fake_ao_accept_widths(unsigned long long mask);
void fake_ao_refusal_errno(int value);
/* The n-th ao_play (from 1) returns 0 and records nothing; 0 for never. */
void fake_ao_fail_play(int n);
/* ao_play takes size / bytes_per_second seconds; 0 for no delay. */
void fake_ao_pace(long bytes_per_second);
/* While held, ao_play waits before it returns... */
void fake_ao_hold(int on);
/* ...unless it is one of the first n calls. */
void fake_ao_release_until(int n);

/* 1 once n ao_play calls have begun, 0 after timeout_ms without. */
int fake_ao_wait_plays(int n, int timeout_ms);
int fake_ao_play_calls(void);
/* When ao_play call n (from 1) began, in nanoseconds of
 * std::chrono::steady_clock; -1 when there was no such call. */
long long fake_ao_play_began_ns(int n);
int fake_ao_open_count(void);
/* Attempt i (from 0), in order; 0 when there is none. */
int fake_ao_open_at(int i, struct fake_ao_open *out);
int fake_ao_close_count(void);
int fake_ao_initialize_count(void);
/* Blocks accepted so far, and block i (from 0) copied into out (at most
 * capacity bytes); returns the block's size, or -1 when there is none. */
int fake_ao_block_count(void);
long fake_ao_block(int i, unsigned char *out, size_t capacity);
/* The device that played block i: the number (from 0) of the open attempt
 * that made it, as fake_ao_open_at counts; -1 when there is no block i. */
int fake_ao_block_device(int i);

#ifdef __cplusplus
}
#endif

#endif
