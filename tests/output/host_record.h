/* See host_record.c. */
#ifndef SANDREL_TESTS_HOST_RECORD_H
#define SANDREL_TESTS_HOST_RECORD_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ao_handle ao_handle;

/* ao_play_async of `length` bytes through the host's own record, which
 * names `bits` in bytes 4 to 7 and 24 everywhere else. */
void host_play_with_own_record(ao_handle *h, const void *data, int length, int bits);

#ifdef __cplusplus
}
#endif

#endif
