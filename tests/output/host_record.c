/* A host that hands ao_play_async a format record of its own, as hosts
 * calling through an FFI do: this file does not include sandrel.h, and
 * declares the export with its record, ten ints with the width in the
 * second, larger than the library's. */
#include <stdint.h>

#include "host_record.h"

typedef struct host_format {
  int32_t words[10];
} host_format;

void ao_play_async(ao_handle *h, int music_id, double at_second, double music_duration,
                   int length, const void *data, host_format format);

void host_play_with_own_record(ao_handle *h, const void *data, int length, int bits) {
  host_format format;
  int i;
  for (i = 0; i < 10; ++i) format.words[i] = 24;
  format.words[1] = bits;
  ao_play_async(h, 1, 0.0, 0.0, length, data, format);
}
