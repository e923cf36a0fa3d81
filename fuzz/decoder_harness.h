// One fuzz input driven through libmelvor's C API, as a host would drive a
// file: shared by the libFuzzer target and the regression replay.
#ifndef MELVOR_FUZZ_DECODER_HARNESS_H
#define MELVOR_FUZZ_DECODER_HARNESS_H

#include <cstddef>
#include <cstdint>

namespace melvor_fuzz {

// What one input may cost, so that slow inputs are not reported as hangs.
struct Limits {
  size_t max_input_bytes;  // longer inputs are cut to this
  int max_blocks;          // per decoding pass
  int64_t max_samples;     // per decoding pass
  int seeks;               // after the decode from the open; at most 4
};

// The fuzzer's: small inputs, as FFmpeg's own targets use (FFmpeg probes
// all of a short file, and under coverage instrumentation its probes are
// the costliest part of an open: 4 KiB inputs run twice as fast as 8 KiB
// ones and reach more code in the same time), short passes, and one seek
// inside what the first pass decoded.
constexpr Limits kFuzzLimits{4 << 10, 64, 1 << 15, 1};
// The replay's: every file whole, a seek inside the stream from either of
// the last two pairs of bytes, and two to anywhere in the first 65.5 s.
constexpr Limits kReplayLimits{1 << 20, 512, 1 << 20, 4};

// Opens the bytes as a file, reads every fact and tag, decodes, seeks to
// times taken from the input's last bytes and decodes again. Aborts when a
// block or a seek breaks an invariant.
void run_decoder_input(const uint8_t *data, size_t size, const Limits &limits = kFuzzLimits);

}  // namespace melvor_fuzz

#endif
