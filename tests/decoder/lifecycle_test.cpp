// Instance lifecycle, version calls and null-handle results.
#include <melvor.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "stderr_capture.h"

extern "C" {
#include <libavcodec/version.h>
#include <libavformat/version.h>
#include <libavutil/version.h>
#include <libswresample/version.h>
}

namespace {

TEST(Lifecycle, NewInstanceAnswersClearedValues) {
  fmpg_instance *h = fmpg_init();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(fmpg_is_open(h), 0);
  EXPECT_EQ(fmpg_audio_stream_count(h), 0);
  EXPECT_EQ(fmpg_audio_sample_rate(h), 0);
  EXPECT_EQ(fmpg_audio_channels(h), 0);
  EXPECT_EQ(fmpg_duration_ms(h), -1);
  EXPECT_EQ(fmpg_duration_samples(h), -1);
  EXPECT_STREQ(fmpg_file_title(h), "");
  EXPECT_STREQ(fmpg_file_copyright(h), "");
  EXPECT_EQ(fmpg_file_year(h), -1);
  EXPECT_EQ(fmpg_file_track(h), -1);
  EXPECT_EQ(fmpg_file_bitrate(h), -1);
  EXPECT_EQ(fmpg_audio_bits_per_sample(h), 32);
  EXPECT_EQ(fmpg_audio_bytes_per_sample(h), 4);
  fmpg_free(h);
}

TEST(Lifecycle, NullHandleGetsFixedDefaults) {
  fmpg_free(nullptr);
  fmpg_close(nullptr);
  EXPECT_EQ(fmpg_is_open(nullptr), 0);
  EXPECT_EQ(fmpg_open_file(nullptr, "x"), 0);
  EXPECT_EQ(fmpg_audio_stream_count(nullptr), 0);
  EXPECT_EQ(fmpg_audio_sample_rate(nullptr), 0);
  EXPECT_EQ(fmpg_audio_channels(nullptr), 0);
  EXPECT_EQ(fmpg_audio_bits_per_sample(nullptr), 32);
  EXPECT_EQ(fmpg_audio_bytes_per_sample(nullptr), 4);
  EXPECT_EQ(fmpg_duration_ms(nullptr), -1);
  EXPECT_EQ(fmpg_duration_samples(nullptr), -1);
  for (auto text : {fmpg_file_title, fmpg_file_author, fmpg_file_album, fmpg_file_genre,
                    fmpg_file_comment, fmpg_file_copyright}) {
    ASSERT_NE(text(nullptr), nullptr);
    EXPECT_STREQ(text(nullptr), "");
  }
  EXPECT_EQ(fmpg_file_year(nullptr), -1);
  EXPECT_EQ(fmpg_file_track(nullptr), -1);
  EXPECT_EQ(fmpg_file_bitrate(nullptr), -1);
}

TEST(Lifecycle, NullHandleWritesNothing) {
  StderrCapture capture;
  fmpg_close(nullptr);
  fmpg_open_file(nullptr, "/nonexistent");
  fmpg_file_title(nullptr);
  EXPECT_EQ(capture.text(), "");
}

// The descriptors this process has open onto the file at `path`.
int descriptors_onto(const std::string &path) {
  char wanted[PATH_MAX];
  if (realpath(path.c_str(), wanted) == nullptr) return -1;
  int count = 0;
  DIR *fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  while (const dirent *entry = readdir(fds)) {
    char target[PATH_MAX];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (std::strcmp(target, wanted) == 0) ++count;
  }
  closedir(fds);
  return count;
}

TEST(Lifecycle, FreeClosesAnOpenFile) {
  const std::string path = fixture("tone.flac");
  ASSERT_EQ(descriptors_onto(path), 0);
  fmpg_instance *h = fmpg_init();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(fmpg_open_file(h, path.c_str()), 1);
  ASSERT_EQ(fmpg_decode_next(h), 1);
  EXPECT_GE(descriptors_onto(path), 1);
  fmpg_free(h);
  EXPECT_EQ(descriptors_onto(path), 0);
}

TEST(Lifecycle, CompatibleWithTheLoadedFFmpeg) {
  StderrCapture capture;
  EXPECT_EQ(fmpg_compatible_ffmpeg(), 1);
  EXPECT_EQ(capture.text(), "");
}

TEST(Versions, LibraryVersion) { EXPECT_EQ(fmpg_version(), 0x10000); }

TEST(Versions, IntToString) {
  const struct {
    int version;
    const char *text;
  } cases[] = {
      {0x10000, "1.0.0"},
      {4066405, "62.12.101"},  // 62 << 16 | 12 << 8 | 101
      {0, "0.0.0"},
      {-1, "4294967295.255.255"},  // arithmetic shift, printed unsigned
      {0x7FFFFFFF, "32767.255.255"},
  };
  for (const auto &c : cases) {
    EXPECT_STREQ(fmpg_int_version2string(c.version), c.text) << c.version;
  }
  EXPECT_STREQ(fmpg_int_version2string(fmpg_version()), "1.0.0");
}

TEST(Versions, IntToStringReusesOneBuffer) {
  const char *a = fmpg_int_version2string(1);
  const char *b = fmpg_int_version2string(2);
  EXPECT_EQ(a, b);
  EXPECT_STREQ(b, "0.0.2");
}

TEST(Versions, FFmpegBuildVersionsText) {
  const char *a = fmpg_ffmpeg_version();
  const std::string first = a;
  const char *b = fmpg_ffmpeg_version();
  EXPECT_EQ(a, b);
  EXPECT_EQ(first, b);

  unsigned v[12];
  int packed[4];
  ASSERT_EQ(std::sscanf(a,
                        "avformat: %u.%u.%u (%d), avcodec: %u.%u.%u (%d), swresample: %u.%u.%u "
                        "(%d), avutil: %u.%u.%u (%d)",
                        &v[0], &v[1], &v[2], &packed[0], &v[3], &v[4], &v[5], &packed[1], &v[6],
                        &v[7], &v[8], &packed[2], &v[9], &v[10], &v[11], &packed[3]),
            16)
      << a;
  const int built[4] = {LIBAVFORMAT_VERSION_INT, LIBAVCODEC_VERSION_INT, LIBSWRESAMPLE_VERSION_INT,
                        LIBAVUTIL_VERSION_INT};
  const unsigned majors[4] = {62, 62, 6, 60};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(v[3 * i], majors[i]);
    EXPECT_EQ(packed[i], built[i]);
    EXPECT_EQ(static_cast<unsigned>(packed[i]), v[3 * i] << 16 | v[3 * i + 1] << 8 | v[3 * i + 2]);
  }
}

}  // namespace
