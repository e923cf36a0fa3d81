// libFuzzer target for the decoder. Build with ./scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>

#include "decoder_harness.h"

extern "C" {
#include <libavutil/log.h>
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Only here: the library itself leaves FFmpeg's logging at its defaults.
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  melvor_fuzz::run_decoder_input(data, size);
  return 0;
}
