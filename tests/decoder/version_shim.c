/* Stands in front of FFmpeg's four version functions. A test sets a major
 * to report for a library; otherwise the real function answers. */
#define _GNU_SOURCE
#include <dlfcn.h>

#include "version_shim.h"

static int fake_major[4] = {-1, -1, -1, -1};

void version_shim_set_major(enum shim_library library, int major) { fake_major[library] = major; }

void version_shim_reset(void) {
  for (int i = 0; i < 4; ++i) fake_major[i] = -1;
}

static unsigned answer(enum shim_library library, const char *name) {
  if (fake_major[library] >= 0) return (unsigned)fake_major[library] << 16 | 1u << 8 | 100u;
  unsigned (*real)(void) = (unsigned (*)(void))dlsym(RTLD_NEXT, name);
  return real ? real() : 0u;
}

unsigned avformat_version(void) { return answer(SHIM_AVFORMAT, "avformat_version"); }
unsigned avcodec_version(void) { return answer(SHIM_AVCODEC, "avcodec_version"); }
unsigned swresample_version(void) { return answer(SHIM_SWRESAMPLE, "swresample_version"); }
unsigned avutil_version(void) { return answer(SHIM_AVUTIL, "avutil_version"); }
