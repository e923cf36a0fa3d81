// Decoding whole files through the C interface, checking every block on the
// way, and the references the results are compared with.
#ifndef MELVOR_TESTS_DECODING_H
#define MELVOR_TESTS_DECODING_H

#include <melvor.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "stderr_capture.h"

struct InstanceDeleter {
  void operator()(fmpg_instance *h) const { fmpg_free(h); }
};
using Instance = std::unique_ptr<fmpg_instance, InstanceDeleter>;

// A new instance with the file open, or null after a test failure.
inline Instance open_instance(const std::string &path) {
  Instance h(fmpg_init());
  if (h == nullptr) {
    ADD_FAILURE() << "fmpg_init";
    return h;
  }
  StderrCapture quiet;  // the open trace
  if (fmpg_open_file(h.get(), path.c_str()) != 1) {
    ADD_FAILURE() << "cannot open " << path;
    h.reset();
  }
  return h;
}

struct Decoded {
  struct Block {
    int64_t start;
    int64_t samples;
    size_t offset;  // of its first value in pcm
  };
  int rate = 0;
  int channels = 0;
  std::vector<int32_t> pcm;  // every block back to back, interleaved
  std::vector<Block> blocks;
  int gaps = 0;              // blocks that do not begin where decoding stood
  int64_t end_position = 0;  // fmpg_sample_position after the last block

  int64_t samples() const { return static_cast<int64_t>(pcm.size()) / channels; }
  int64_t first_start() const { return blocks.empty() ? -1 : blocks.front().start; }

  // The values of sample index i (the first block that holds it), or null.
  const int32_t *at(int64_t index) const {
    for (const Block &b : blocks) {
      if (index >= b.start && index < b.start + b.samples) {
        return &pcm[b.offset + static_cast<size_t>(index - b.start) * channels];
      }
    }
    return nullptr;
  }
};

// Checks what must hold for every block: its size, end and start time.
inline void expect_block_invariants(fmpg_instance *h, int rate, int channels) {
  const int64_t start = fmpg_buffer_start_sample(h);
  const int64_t samples = fmpg_buffer_samples(h);
  EXPECT_GT(samples, 0);
  EXPECT_NE(fmpg_buffer(h), nullptr);
  EXPECT_EQ(fmpg_buffer_size(h), samples * channels * 4);
  EXPECT_EQ(fmpg_buffer_end_sample(h), start + samples);
  EXPECT_EQ(fmpg_timecode(h), static_cast<double>(start) / rate);
}

// Checks the state after the last block: 0 again and again, with an empty
// block that starts where decoding stands.
inline void expect_finished(fmpg_instance *h) {
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(fmpg_decode_next(h), 0);
    EXPECT_EQ(fmpg_buffer(h), nullptr);
    EXPECT_EQ(fmpg_buffer_size(h), 0);
    EXPECT_EQ(fmpg_buffer_samples(h), 0);
    EXPECT_EQ(fmpg_buffer_start_sample(h), fmpg_sample_position(h));
  }
}

// Decodes from where the instance stands to the first 0.
inline Decoded decode_rest(fmpg_instance *h, int max_blocks = 100000) {
  Decoded d;
  d.rate = fmpg_audio_sample_rate(h);
  d.channels = fmpg_audio_channels(h);
  int64_t position = fmpg_sample_position(h);
  while (fmpg_decode_next(h) == 1) {
    expect_block_invariants(h, d.rate, d.channels);
    const int64_t start = fmpg_buffer_start_sample(h);
    const int64_t samples = fmpg_buffer_samples(h);
    if (start != position) ++d.gaps;
    d.blocks.push_back({start, samples, d.pcm.size()});
    const auto *values = reinterpret_cast<const int32_t *>(fmpg_buffer(h));
    d.pcm.insert(d.pcm.end(), values, values + samples * d.channels);
    position = fmpg_sample_position(h);
    if (static_cast<int>(d.blocks.size()) > max_blocks) {
      ADD_FAILURE() << "no end after " << max_blocks << " blocks";
      break;
    }
  }
  d.end_position = fmpg_sample_position(h);
  return d;
}

// The file decoded by Debian's ffmpeg (an independent decoder) into s32le,
// the byte order of the machines the tests run on.
inline std::vector<int32_t> ffmpeg_s32(const std::string &path) {
  const std::string command =
      "ffmpeg -hide_banner -v error -nostdin -i '" + path + "' -map 0:a:0 -f s32le -";
  std::vector<int32_t> values;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return values;
  }
  std::vector<char> bytes;
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  EXPECT_EQ(pclose(pipe), 0) << command;
  values.resize(bytes.size() / 4);
  if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * 4);
  return values;
}

// The largest difference between two runs of values.
inline int64_t largest_difference(const int32_t *a, const int32_t *b, size_t count) {
  int64_t largest = 0;
  for (size_t i = 0; i < count; ++i) {
    const int64_t d = static_cast<int64_t>(a[i]) - b[i];
    largest = std::max(largest, d < 0 ? -d : d);
  }
  return largest;
}

inline std::string test_name(const char *file) {
  std::string name = file;
  for (char &ch : name) {
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

#endif
