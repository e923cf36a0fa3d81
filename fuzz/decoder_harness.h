// One fuzz input driven through libmelvor's C API, as a host would drive a
// file: shared by the libFuzzer target and the regression replay.
#ifndef MELVOR_FUZZ_DECODER_HARNESS_H
#define MELVOR_FUZZ_DECODER_HARNESS_H

#include <cstddef>
#include <cstdint>

namespace melvor_fuzz {

// Bounds per input, so slow inputs are not reported as hangs.
constexpr size_t kMaxInputBytes = 1 << 20;
constexpr int kMaxBlocks = 512;
constexpr int64_t kMaxSamples = int64_t{1} << 20;

// Opens the bytes as a file, reads every fact and tag, decodes, seeks to
// times taken from the input's last bytes and decodes again. Aborts when a
// block breaks an invariant.
void run_decoder_input(const uint8_t *data, size_t size);

}  // namespace melvor_fuzz

#endif
