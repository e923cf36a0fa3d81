// File faults: a file cut short while it is open and being decoded, a
// directory, an endless device. Each ends with 0, in bounded time, and the
// instance then opens and decodes a good file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "decoding.h"

namespace {

using Clock = std::chrono::steady_clock;

int open_quietly(fmpg_instance *h, const std::string &path) {
  StderrCapture quiet;
  return fmpg_open_file(h, path.c_str());
}

// The instance opens a good file and decodes it from its first sample.
void expect_reusable(fmpg_instance *h) {
  fmpg_close(h);
  ASSERT_EQ(open_quietly(h, fixture("tone.flac")), 1);
  ASSERT_EQ(fmpg_decode_next(h), 1);
  EXPECT_EQ(fmpg_buffer_start_sample(h), 0);
  expect_block_invariants(h, 44100, 2);
  fmpg_close(h);
}

// Decodes to the first 0; false when that takes more than `limit` blocks.
bool ends_within(fmpg_instance *h, int limit) {
  for (int i = 0; i < limit; ++i) {
    if (fmpg_decode_next(h) == 0) return true;
    expect_block_invariants(h, fmpg_audio_sample_rate(h), fmpg_audio_channels(h));
  }
  return false;
}

std::string copy_to_temp(const char *name) {
  char path[] = "/tmp/melvor-cut-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  std::ifstream in(fixture(name), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
  return path;
}

struct Cut {
  const char *file;
  double keep;  // fraction of the file left after the cut
};

// A quarter of the file decoded, then the file cut under the open
// instance: decoding ends with 0 (what the demuxer had buffered may still
// come), never loops, and a seek into what is gone gives nothing.
TEST(TruncatedWhileOpen, DecodingEndsAndTheInstanceIsReusable) {
  const Cut cuts[] = {{"tone.flac", 0.5}, {"tone.flac", 0.0}, {"tone.mp3", 0.3},
                      {"tone.ogg", 0.5},  {"tone.m4a", 0.5},  {"av.mkv", 0.2},
                      {"tone.wv", 0.0},   {"tone24.wav", 0.6}};
  for (const Cut &c : cuts) {
    SCOPED_TRACE(testing::Message() << c.file << " cut to " << c.keep);
    const std::string path = copy_to_temp(c.file);
    Instance h(fmpg_init());
    ASSERT_EQ(open_quietly(h.get(), path), 1);
    int blocks = 0;
    while (blocks < 8 && fmpg_decode_next(h.get()) == 1) ++blocks;
    ASSERT_GT(blocks, 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(st.st_size * c.keep)), 0);

    const auto start = Clock::now();
    EXPECT_TRUE(ends_within(h.get(), 1000));
    EXPECT_EQ(fmpg_decode_next(h.get()), 0);
    // A seek to the start may land in what is left; decoding ends again.
    for (int64_t ms : {0, 2000}) {
      if (fmpg_seek_ms(h.get(), ms) == 1) {
        EXPECT_TRUE(ends_within(h.get(), 1000));
      }
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    expect_reusable(h.get());
    unlink(path.c_str());
  }
}

// Paths that are no audio file: each open gives 0, quickly; an endless
// device must not keep the open (or a decode) reading forever. (Random bytes
// sometimes look like a subtitle format whose demuxer reads all its input
// while opening: character devices are refused before FFmpeg sees them.)
TEST(NotAFile, OpenGivesZeroAndTheInstanceIsReusable) {
  const char *paths[] = {"/tmp", MELVOR_FIXTURES, "/dev/zero", "/dev/null", "/dev/urandom"};
  Instance h(fmpg_init());
  for (const char *path : paths) {
    SCOPED_TRACE(path);
    const auto start = Clock::now();
    const int opened = open_quietly(h.get(), path);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(fmpg_is_open(h.get()), 0);
    EXPECT_EQ(fmpg_decode_next(h.get()), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    expect_reusable(h.get());
  }
}

}  // namespace
