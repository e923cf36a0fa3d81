// Sample width conversion and volume scaling of interleaved signed PCM.
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "output.h"

namespace sandrel {

bool supported_width(int bits) { return bits == 8 || bits == 16 || bits == 24 || bits == 32; }

int littleEndian() {
  int one = 1;
  unsigned char first;
  memcpy(&first, &one, 1);
  return first == 1;
}

int little_endian_for(int byte_format) {
  if (byte_format == SANDREL_FMT_LITTLE) return 1;
  if (byte_format == SANDREL_FMT_NATIVE) return littleEndian();
  return 0;
}

int32_t read_sample(const unsigned char *p, int bytes, int little) {
  uint32_t acc = 0;
  for (int i = 0; i < bytes; ++i) {
    uint32_t byte = p[little ? i : bytes - 1 - i];
    acc |= byte << (8 * i);
  }
  if (bytes < 4) {
    uint32_t sign = 1u << (8 * bytes - 1);
    acc = (acc ^ sign) - sign;
  }
  return static_cast<int32_t>(acc);
}

void store_sample(unsigned char *p, int32_t value, int bytes, int little) {
  uint32_t u = static_cast<uint32_t>(value);
  for (int i = 0; i < bytes; ++i) {
    p[little ? i : bytes - 1 - i] = static_cast<unsigned char>(u & 0xFFu);
    u >>= 8;
  }
}

int32_t convert_bits(int32_t value, int from_bits, int to_bits) {
  if (from_bits > to_bits) return narrow_sample(value, from_bits - to_bits);
  if (from_bits < to_bits)
    return static_cast<int32_t>(static_cast<uint32_t>(value) << (to_bits - from_bits));
  return value;
}

char *convert_req_to_real(const void *source, int length, int in_bits, int out_bits,
                          int byte_format, int *out_length) {
  *out_length = 0;
  if (length <= 0 || !source || !supported_width(in_bits) || !supported_width(out_bits))
    return nullptr;
  const int little = little_endian_for(byte_format);
  const int in_bytes = in_bits / 8;
  const int out_bytes = out_bits / 8;
  const int count = length / in_bytes;
  // Room for one sample more than the count: an equal-width copy keeps a
  // trailing partial sample.
  const int64_t room = (static_cast<int64_t>(count) + 1) * out_bytes;
  const int64_t produced = in_bits == out_bits ? length : static_cast<int64_t>(count) * out_bytes;
  char *out =
      produced <= INT_MAX ? static_cast<char *>(malloc(static_cast<size_t>(room))) : nullptr;
  if (!out) {
    fprintf(stderr, "Allocation of output buffer of %d samples of %d bits gives NULL", count,
            out_bits);
    return nullptr;
  }
  if (in_bits == out_bits) {
    memcpy(out, source, static_cast<size_t>(length));
  } else {
    const unsigned char *src = static_cast<const unsigned char *>(source);
    unsigned char *dst = reinterpret_cast<unsigned char *>(out);
    for (int i = 0; i < count; ++i, src += in_bytes, dst += out_bytes)
      store_sample(dst, convert_bits(read_sample(src, in_bytes, little), in_bits, out_bits),
                   out_bytes, little);
  }
  *out_length = static_cast<int>(produced);
  return out;
}

void adjustVolume(char *data, int length, int volume, int bits, int byte_format) {
  if (!data || !supported_width(bits)) return;
  const int n = bits / 8;
  const int little = little_endian_for(byte_format);
  const int64_t highest = (INT64_C(1) << (bits - 1)) - 1;
  const int64_t lowest = -(INT64_C(1) << (bits - 1));
  unsigned char *p = reinterpret_cast<unsigned char *>(data);
  for (int offset = 0; length - offset >= n; offset += n) {
    int64_t scaled = static_cast<int64_t>(read_sample(p + offset, n, little)) * volume / 10000;
    if (scaled > highest) scaled = highest;
    if (scaled < lowest) scaled = lowest;
    store_sample(p + offset, static_cast<int32_t>(scaled), n, little);
  }
}

bool volume_from_percent(double percent, int32_t *volume) {
  const double hundredths = percent * 100.0;
  if (isnan(hundredths)) return false;
  int32_t v;
  if (hundredths >= static_cast<double>(INT_MAX))
    v = INT_MAX;
  else if (hundredths <= static_cast<double>(INT_MIN))
    v = INT_MIN;
  else
    v = static_cast<int32_t>(hundredths);
  if (v > 9989 && v <= 10010) v = kUnityVolume;
  *volume = v;
  return true;
}

}  // namespace sandrel
