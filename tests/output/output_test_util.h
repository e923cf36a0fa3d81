// Helpers shared by the output library's tests: the variant, samples
// encoded independently of the library, format records, and waiting for
// stderr.
#ifndef SANDREL_TESTS_OUTPUT_TEST_UTIL_H
#define SANDREL_TESTS_OUTPUT_TEST_UTIL_H

#include <sandrel.h>
#include <sys/stat.h>

#include "fake_ao.h"
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace sandrel_test {

// The variant under test, as the library reports it; the macOS one differs
// in the places its tests say.
const bool kMacos = ao_async_version() == 0x10000;

typedef std::vector<unsigned char> Bytes;

// A format record whose every byte but the width's is set, so that a
// library reading anything else would notice.
inline sandrel_format format_bits(int bits) {
  sandrel_format f;
  std::memset(&f, 0xA5, sizeof f);
  f.bits = bits;
  return f;
}

// Two's-complement samples of `bits`, least significant byte first when
// `little`.
inline Bytes encode(const std::vector<int64_t> &values, int bits, bool little) {
  const int n = bits / 8;
  Bytes out;
  for (int64_t v : values) {
    const uint64_t u = static_cast<uint64_t>(v);
    for (int i = 0; i < n; ++i) {
      const int shift = 8 * (little ? i : n - 1 - i);
      out.push_back(static_cast<unsigned char>(u >> shift));
    }
  }
  return out;
}

inline std::vector<int64_t> decode(const Bytes &bytes, int bits, bool little) {
  const int n = bits / 8;
  std::vector<int64_t> out;
  for (size_t at = 0; at + static_cast<size_t>(n) <= bytes.size(); at += static_cast<size_t>(n)) {
    uint64_t u = 0;
    for (int i = 0; i < n; ++i)
      u = u << 8 | bytes[at + static_cast<size_t>(little ? n - 1 - i : i)];
    const uint64_t sign = uint64_t{1} << (bits - 1);
    out.push_back(static_cast<int64_t>(u ^ sign) - static_cast<int64_t>(sign));
  }
  return out;
}

inline void play(ao_handle *h, int music_id, double at_second, double duration, const Bytes &b,
                 int bits) {
  ao_play_async(h, music_id, at_second, duration, static_cast<int>(b.size()), b.data(),
                format_bits(bits));
}

// What the fake device received, block by block.
inline std::vector<Bytes> device_blocks() {
  std::vector<Bytes> out;
  for (int i = 0, n = fake_ao_block_count(); i < n; ++i) {
    Bytes b(static_cast<size_t>(fake_ao_block(i, nullptr, 0)));
    fake_ao_block(i, b.data(), b.size());
    out.push_back(b);
  }
  return out;
}

// Waits until `text` appears in what has been written to fd 2 since it was
// redirected to a file (by a StderrCapture); false after timeout_ms.
inline bool wait_for_stderr(const std::string &text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  do {
    struct stat st;
    if (fstat(2, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      std::string seen(static_cast<size_t>(st.st_size), '\0');
      const ssize_t got = pread(2, &seen[0], seen.size(), 0);
      if (got > 0 && seen.find(text) != std::string::npos) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace sandrel_test

#endif
