// The real libao: WAV files through its "wav" driver, and the live path
// through its "null" driver, which a configuration file in a temporary HOME
// makes the default for this process only.
#include <gtest/gtest.h>
#include <sandrel.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "output_test_util.h"
#include "stderr_capture.h"

namespace {

using sandrel_test::Bytes;
using sandrel_test::decode;
using sandrel_test::encode;
using sandrel_test::kMacos;
using sandrel_test::play;

std::string temp_home;

// Runs before the first ao_create_async of the process initialises libao.
class NullDriverHome : public ::testing::Environment {
 public:
  void SetUp() override {
    char path[] = "/tmp/sandrel-home-XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    temp_home = path;
    std::ofstream(temp_home + "/.libao") << "default_driver=null\n";
    ASSERT_EQ(setenv("HOME", temp_home.c_str(), 1), 0);
  }
  void TearDown() override {
    std::remove((temp_home + "/.libao").c_str());
    rmdir(temp_home.c_str());
  }
};

::testing::Environment *const home = ::testing::AddGlobalTestEnvironment(new NullDriverHome);

Bytes read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t le32(const Bytes &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The data chunk of a RIFF WAVE file, and its bits per sample.
Bytes wav_data(const Bytes &file, int *bits) {
  if (file.size() < 12 || std::string(file.begin(), file.begin() + 4) != "RIFF") return {};
  for (size_t at = 12; at + 8 <= file.size();) {
    const std::string id(file.begin() + static_cast<long>(at),
                         file.begin() + static_cast<long>(at) + 4);
    const size_t size = le32(file, at + 4);
    if (id == "fmt ") *bits = file[at + 8 + 14] | file[at + 8 + 15] << 8;
    if (id == "data")
      return Bytes(file.begin() + static_cast<long>(at) + 8,
                   file.begin() + static_cast<long>(std::min(at + 8 + size, file.size())));
    at += 8 + size + (size & 1);
  }
  return {};
}

// Waits until the playback thread has taken the block of `music_id` and
// nothing is left queued: stop would drop what is still queued.
bool wait_until_taken(ao_handle *h, int music_id) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ao_bufsize_async(h) > 0 || ao_is_at_music_id_async(h) != music_id) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::vector<int64_t> scaled(const std::vector<int64_t> &values, int64_t volume, int bits) {
  const int64_t hi = (int64_t{1} << (bits - 1)) - 1, lo = -hi - 1;
  std::vector<int64_t> out;
  for (int64_t v : values) {
    int64_t s = v * volume / 10000;
    out.push_back(s > hi ? hi : s < lo ? lo : s);
  }
  return out;
}

// The wav driver opens at any width, so in the macOS variant, where blocks
// have the width the handle asked for, nothing is converted and the width
// named in the call is ignored. An empty block between the others reaches
// libao too (macOS variant) or is not queued (Linux).
TEST(WavFile, HoldsExactlyTheConvertedAndScaledBlocksInOrder) {
  const struct {
    int device_bits, named_bits, byte_format;
    double percent;
  } cases[] = {
      {16, 32, SANDREL_FMT_LITTLE, 100.0}, {16, 16, SANDREL_FMT_NATIVE, 100.0},
      {24, 32, SANDREL_FMT_LITTLE, 100.0}, {32, 16, SANDREL_FMT_LITTLE, 100.0},
      {16, 24, SANDREL_FMT_BIG, 100.0},    {16, 16, SANDREL_FMT_LITTLE, 150.0},
      {32, 32, SANDREL_FMT_LITTLE, 50.0},
  };
  const std::string path = temp_home + "/out.wav";
  for (const auto &c : cases) {
    const int input_bits = kMacos ? c.device_bits : c.named_bits;
    SCOPED_TRACE(std::to_string(input_bits) + "->" + std::to_string(c.device_bits) + " code " +
                 std::to_string(c.byte_format) + " at " + std::to_string(c.percent));
    // An existing file of the name is replaced.
    std::ofstream(path) << "not a wav file, and longer than its header would be";
    StderrCapture quiet;
    ao_handle *h = ao_create_async(c.device_bits, 44100, 2, c.byte_format, path.c_str());
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ao_real_output_bits_async(h), c.device_bits);
    ao_set_volume_async(h, c.percent);

    const bool little = c.byte_format != SANDREL_FMT_BIG;
    const int64_t unit = int64_t{1} << (input_bits - 16);  // one 16-bit step
    std::vector<int64_t> expected;
    for (int block = 0; block < 5; ++block) {
      std::vector<int64_t> values;
      for (int i = 0; i < 256; ++i)
        values.push_back(((block * 256 + i) * 37 % 65536 - 32768) * unit);
      play(h, block, block * 0.1, 0.5, encode(values, input_bits, little), c.named_bits);
      if (block == 2) play(h, 50, 0, 0, Bytes(), c.named_bits);
      for (int64_t v : values) {
        const int64_t at_device = c.device_bits < input_bits
                                      ? v / (int64_t{1} << (input_bits - c.device_bits))
                                      : v * (int64_t{1} << (c.device_bits - input_bits));
        expected.push_back(at_device);
      }
    }
    EXPECT_TRUE(wait_until_taken(h, 4));
    ao_stop_async(h);
    quiet.text();

    int bits = 0;
    const Bytes data = wav_data(read_file(path), &bits);
    EXPECT_EQ(bits, c.device_bits);
    // WAV stores little-endian samples; libao turns big-endian input around.
    EXPECT_EQ(decode(data, c.device_bits, true),
              scaled(expected, static_cast<int64_t>(c.percent * 100), c.device_bits));
  }
  std::remove(path.c_str());
}

TEST(WavFile, UnwritablePathGivesNoHandle) {
  StderrCapture capture;
  EXPECT_EQ(ao_create_async(16, 44100, 2, 1, "/nonexistent-dir/out.wav"), nullptr);
  const std::string text = capture.text();
  EXPECT_EQ(text.rfind("Cannot open ao-device, error code = ", 0), 0u) << text;
}

TEST(LiveDevice, NullDriverPlaysEveryBlockAndPublishesTheLast) {
  StderrCapture quiet;
  ao_handle *h = ao_create_async(32, 48000, 2, SANDREL_FMT_NATIVE, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ao_real_output_bits_async(h), 32);
  const Bytes block(4096, 0x11);
  for (int i = 0; i < 20; ++i) {
    play(h, 100 + i, i * 0.25, 5.0, block, 32);
    if (i == 10) play(h, 99, 0, 0, Bytes(), 32);  // empty: queued only by the macOS variant
  }
  EXPECT_TRUE(wait_until_taken(h, 119));
  EXPECT_EQ(ao_is_at_second_async(h), 19 * 0.25);
  EXPECT_EQ(ao_music_duration_async(h), 5.0);
  ao_stop_async(h);
  EXPECT_EQ(quiet.text().find("ao_play returns 0"), std::string::npos);
}

}  // namespace
