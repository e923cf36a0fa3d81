#ifndef MELVOR_TESTS_VERSION_SHIM_H
#define MELVOR_TESTS_VERSION_SHIM_H
#ifdef __cplusplus
extern "C" {
#endif
enum shim_library { SHIM_AVFORMAT, SHIM_AVCODEC, SHIM_SWRESAMPLE, SHIM_AVUTIL };
void version_shim_set_major(enum shim_library library, int major);
void version_shim_reset(void);
#ifdef __cplusplus
}
#endif
#endif
