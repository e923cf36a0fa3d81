// The exported interface against the fake libao: opening, the block path,
// pause, clear, volume, the published position, stop and device failure.
#include <gtest/gtest.h>
#include <sandrel.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "fake_ao.h"
#include "host_record.h"
#include "output_test_util.h"
#include "stderr_capture.h"

namespace {

using sandrel_test::Bytes;
using sandrel_test::decode;
using sandrel_test::device_blocks;
using sandrel_test::encode;
using sandrel_test::kMacos;
using sandrel_test::play;

const char kStopLines[] =
    "queue cleared\n"
    "stop command queued\n"
    "device closed\n"
    "async handle freed\n";

std::string stop_text(int cleared) {
  return "stopping ao_async, calling clear\n" + std::to_string(cleared) + " elements cleared\n" +
         kStopLines;
}

class Output : public ::testing::Test {
 protected:
  void SetUp() override { fake_ao_reset(); }
  void TearDown() override {
    fake_ao_hold(0);
    if (h_) {
      StderrCapture quiet;
      ao_stop_async(h_);
    }
  }

  // A live handle; the fake accepts every width unless told otherwise.
  ao_handle *create(int bits = 16, int byte_format = SANDREL_FMT_LITTLE) {
    h_ = ao_create_async(bits, 44100, 2, byte_format, nullptr);
    return h_;
  }
  void stop() {
    StderrCapture quiet;
    ao_stop_async(h_);
    h_ = nullptr;
  }
  // For the tests of what stop writes.
  void stop_loudly() {
    ao_stop_async(h_);
    h_ = nullptr;
  }
  // Queues `first` and waits until the device is playing it.
  void start_playing(const Bytes &first, int bits = 16, int id = 1) {
    play(h_, id, 0.0, 10.0, first, bits);
    ASSERT_TRUE(fake_ao_wait_plays(1, 5000));
  }

  ao_handle *h_ = nullptr;
};

TEST_F(Output, NewHandleFallsBackToSixteenBitsAndReadsAsFresh) {
  fake_ao_accept_widths(1ull << 16);
  ASSERT_NE(create(32), nullptr);
  EXPECT_EQ(ao_real_output_bits_async(h_), 16);
  EXPECT_EQ(fake_ao_open_count(), 3);
  EXPECT_EQ(ao_is_at_second_async(h_), -1.0);
  EXPECT_EQ(ao_is_at_music_id_async(h_), -1);
  EXPECT_EQ(ao_music_duration_async(h_), 0.0);
  EXPECT_EQ(ao_bufsize_async(h_), 0);
  EXPECT_EQ(ao_volume_async(h_), 100.0);
  EXPECT_EQ(ao_async_version(), kMacos ? 65536 : 65537);
}

TEST_F(Output, DeviceThatOpensAtNoWidthReportsLibaosCode) {
  fake_ao_accept_widths(0);
  fake_ao_refusal_errno(42);
  StderrCapture capture;
  EXPECT_EQ(create(32), nullptr);
  EXPECT_EQ(capture.text(), "Cannot open ao-device, error code = 42\n");
  EXPECT_EQ(fake_ao_open_count(), 3);
  EXPECT_EQ(fake_ao_close_count(), 0);
}

TEST_F(Output, UnsupportedWidthsAreRefusedBeforeAnyOpen) {
  for (int bits : {0, 1, 7, 12, 20, 33, 40, 64, -16}) {
    StderrCapture capture;
    EXPECT_EQ(ao_create_async(bits, 44100, 2, 1, nullptr), nullptr);
    EXPECT_EQ(capture.text(), "Cannot open ao-device for " + std::to_string(bits) +
                                  " bits per sample, only 8, 16, 24 and 32 are supported\n");
  }
  EXPECT_EQ(fake_ao_open_count(), 0);
}

TEST_F(Output, FileNameSelectsTheWavDriverWithOverwrite) {
  h_ = ao_create_async(24, 48000, 1, SANDREL_FMT_BIG, "/tmp/x.wav");
  ASSERT_NE(h_, nullptr);
  fake_ao_open a;
  ASSERT_TRUE(fake_ao_open_at(0, &a));
  EXPECT_EQ(a.live, 0);
  EXPECT_EQ(a.driver_id, FAKE_AO_WAV_ID);
  EXPECT_EQ(a.overwrite, 1);
  EXPECT_STREQ(a.filename, "/tmp/x.wav");
  EXPECT_EQ(a.bits, 24);
  EXPECT_EQ(a.rate, 48000);
  EXPECT_EQ(a.channels, 1);
  EXPECT_EQ(a.byte_format, SANDREL_FMT_BIG);
}

TEST_F(Output, FirstCallsFromSeveralThreadsInitialiseLibaoOnce) {
  std::vector<ao_handle *> handles(4, nullptr);
  std::vector<std::thread> threads;
  for (auto &slot : handles)
    threads.emplace_back([&slot] { slot = ao_create_async(16, 8000, 1, 1, nullptr); });
  for (auto &t : threads) t.join();
  EXPECT_EQ(fake_ao_initialize_count(), 1);
  StderrCapture quiet;
  for (ao_handle *h : handles) {
    EXPECT_NE(h, nullptr);
    ao_stop_async(h);
  }
}

TEST_F(Output, NullHandleIsHarmless) {
  const Bytes block = encode({1, 2}, 16, true);
  StderrCapture capture;
  ao_play_async(nullptr, 1, 0.0, 1.0, 4, block.data(), sandrel_test::format_bits(16));
  ao_clear_async(nullptr);
  ao_pause_async(nullptr, 1);
  ao_pause_async(nullptr, 0);
  ao_set_volume_async(nullptr, 50.0);
  EXPECT_EQ(ao_volume_async(nullptr), 100.0);
  EXPECT_EQ(ao_is_at_second_async(nullptr), -1.0);
  EXPECT_EQ(ao_is_at_music_id_async(nullptr), -1);
  EXPECT_EQ(ao_music_duration_async(nullptr), 0.0);
  EXPECT_EQ(ao_bufsize_async(nullptr), 0);
  EXPECT_EQ(ao_real_output_bits_async(nullptr), 0);
  ao_stop_async(nullptr);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(Output, BlocksAreConvertedToTheDeviceWidthAndPlayedInOrder) {
  fake_ao_accept_widths(1ull << 16);
  ASSERT_NE(create(32), nullptr);
  fake_ao_hold(1);
  const Bytes first = encode({65536, -65536}, 32, true);
  start_playing(first, 32);
  std::vector<int64_t> values;
  for (int i = 0; i < 2048; ++i) values.push_back((i - 1024) * 65536 + 65535);
  const Bytes big = encode(values, 32, true);
  ASSERT_EQ(big.size(), 8192u);
  play(h_, 2, 1.0, 10.0, big, 32);
  EXPECT_EQ(ao_bufsize_async(h_), 4096);
  // Named 16-bit: on Linux queued byte for byte, a trailing partial sample
  // too; the macOS variant takes it as the handle's 32 bits, one sample.
  const Bytes named16 = {1, 2, 3, 4, 5};
  play(h_, 3, 2.0, 10.0, named16, 16);
  EXPECT_EQ(ao_bufsize_async(h_), kMacos ? 4098 : 4101);
  fake_ao_hold(0);
  ASSERT_TRUE(fake_ao_wait_plays(3, 5000));
  stop();

  const std::vector<Bytes> blocks = device_blocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0], encode({1, -1}, 16, true));
  std::vector<int64_t> narrowed;
  for (int i = 0; i < 2048; ++i) narrowed.push_back(i - 1024 + (i < 1024 && !kMacos ? 1 : 0));
  EXPECT_EQ(decode(blocks[1], 16, true), narrowed);
  EXPECT_EQ(blocks[2], kMacos ? Bytes({3, 4}) : named16);
}

// The narrowing examples, through a device that took only 16 of the 24
// bits asked for. The macOS variant takes the width from the handle and
// so ignores a record naming 32 bits.
TEST_F(Output, TwentyFourBitSamplesReachASixteenBitDeviceNarrowed) {
  fake_ao_accept_widths(1ull << 16);
  ASSERT_NE(create(24), nullptr);
  ASSERT_EQ(ao_real_output_bits_async(h_), 16);
  play(h_, 1, 0, 0, encode({-1, -256, -257, 255, 256, -32768}, 24, true), kMacos ? 32 : 24);
  ASSERT_TRUE(fake_ao_wait_plays(1, 5000));
  stop();
  const std::vector<Bytes> blocks = device_blocks();
  ASSERT_EQ(blocks.size(), 1u);
  const std::vector<int64_t> floored = {-1, -1, -2, 0, 1, -128};
  const std::vector<int64_t> truncated = {0, -1, -1, 0, 1, -128};
  EXPECT_EQ(decode(blocks[0], 16, true), kMacos ? floored : truncated);
}

// The macOS variant does not read the record at all.
TEST_F(Output, FormatRecordIsReadOnlyAtBytesFourToSeven) {
  ASSERT_NE(create(16), nullptr);
  fake_ao_hold(1);
  start_playing(encode({0}, 16, true));
  const Bytes data(24, 0x01);
  // Our record with every other byte set: 24 bytes queued at 16 bits.
  const struct {
    int bits, linux_queued;
  } cases[] = {{8, 48}, {16, 24}, {32, 12}};
  for (const auto &c : cases) {
    const int before = ao_bufsize_async(h_);
    play(h_, 1, 0, 0, data, c.bits);
    EXPECT_EQ(ao_bufsize_async(h_) - before, kMacos ? 24 : c.linux_queued) << c.bits;
  }
  // A host's larger record (host_record.c), naming 32 bits and 24 in every
  // other field.
  const int before = ao_bufsize_async(h_);
  host_play_with_own_record(h_, data.data(), 24, 32);
  EXPECT_EQ(ao_bufsize_async(h_) - before, kMacos ? 24 : 12);
}

// The macOS variant: each call queues one block, an empty one when there
// is nothing to convert; the thread publishes its position and hands it to
// the device.
TEST_F(Output, EveryCallQueuesExactlyOneBlockEvenAnEmptyOne) {
  if (!kMacos) GTEST_SKIP() << "the macOS variant's rule";
  fake_ao_accept_widths(1ull << 16);
  ASSERT_NE(create(32), nullptr);  // 32-bit blocks, a 16-bit device
  fake_ao_hold(1);
  start_playing(encode({0}, 32, true));
  const Bytes data(8, 0x22);
  const struct {
    const void *data;
    int length;
  } cases[] = {{nullptr, 8}, {data.data(), 0}, {data.data(), -8}, {data.data(), 3}};
  const int n = static_cast<int>(sizeof cases / sizeof cases[0]);
  StderrCapture capture;
  for (int i = 0; i < n; ++i)
    ao_play_async(h_, 20 + i, 1.5 * i, 100.0 + i, cases[i].length, cases[i].data,
                  sandrel_test::format_bits(16));
  EXPECT_EQ(ao_bufsize_async(h_), 0);
  for (int i = 0; i < n; ++i) {
    fake_ao_release_until(i + 1);
    ASSERT_TRUE(fake_ao_wait_plays(i + 2, 5000)) << i;
    EXPECT_EQ(ao_is_at_music_id_async(h_), 20 + i);
    EXPECT_EQ(ao_is_at_second_async(h_), 1.5 * i);
    EXPECT_EQ(ao_music_duration_async(h_), 100.0 + i);
  }
  fake_ao_hold(0);
  stop();
  EXPECT_EQ(capture.text(), "");
  const std::vector<Bytes> blocks = device_blocks();
  ASSERT_EQ(blocks.size(), static_cast<size_t>(n + 1));
  for (int i = 1; i <= n; ++i) EXPECT_TRUE(blocks[static_cast<size_t>(i)].empty()) << i;
}

TEST_F(Output, BlocksThatCarryNothingAreNotQueued) {
  if (kMacos) GTEST_SKIP() << "the Linux variant's rule";
  ASSERT_NE(create(16), nullptr);
  fake_ao_hold(1);
  start_playing(encode({0}, 16, true));
  const Bytes data(8, 0x22);
  const struct {
    const void *data;
    int length, bits;
  } cases[] = {
      {nullptr, 8, 16},     {data.data(), 0, 16}, {data.data(), -8, 16},
      {data.data(), 8, 0},  {data.data(), 8, 7},  {data.data(), 8, 20},
      {data.data(), 8, 64}, {data.data(), 3, 32}, {data.data(), 1, 24},
  };
  StderrCapture capture;
  for (const auto &c : cases)
    ao_play_async(h_, 5, 0, 0, c.length, c.data, sandrel_test::format_bits(c.bits));
  EXPECT_EQ(ao_bufsize_async(h_), 0);
  EXPECT_EQ(capture.text(), "");
  fake_ao_hold(0);
  stop();
  EXPECT_EQ(fake_ao_block_count(), 1);
}

TEST_F(Output, PositionIsPublishedWhenABlockIsTaken) {
  ASSERT_NE(create(16), nullptr);
  fake_ao_hold(1);
  start_playing(encode({1, 2}, 16, true), 16, 7);
  EXPECT_EQ(ao_is_at_music_id_async(h_), 7);
  EXPECT_EQ(ao_is_at_second_async(h_), 0.0);
  EXPECT_EQ(ao_music_duration_async(h_), 10.0);
  play(h_, 8, 0.25, 12.5, encode({3, 4}, 16, true), 16);
  // Queued, not yet taken: the position still names the block playing.
  EXPECT_EQ(ao_is_at_music_id_async(h_), 7);
  fake_ao_release_until(1);
  ASSERT_TRUE(fake_ao_wait_plays(2, 5000));
  EXPECT_EQ(ao_is_at_music_id_async(h_), 8);
  EXPECT_EQ(ao_is_at_second_async(h_), 0.25);
  EXPECT_EQ(ao_music_duration_async(h_), 12.5);
  EXPECT_EQ(ao_bufsize_async(h_), 0);
}

TEST_F(Output, PauseHoldsTheThreadAfterItsCurrentBlock) {
  ASSERT_NE(create(16), nullptr);
  fake_ao_hold(1);
  start_playing(encode({1}, 16, true));
  ao_pause_async(h_, 1);
  ao_pause_async(h_, 3);  // pausing again changes nothing
  for (int id = 2; id <= 4; ++id) play(h_, id, 0, 0, encode({id}, 16, true), 16);
  fake_ao_hold(0);
  // Nothing more is taken while paused; queries and the queue still work.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(fake_ao_play_calls(), 1);
  EXPECT_EQ(ao_bufsize_async(h_), 6);
  EXPECT_EQ(ao_is_at_music_id_async(h_), 1);
  play(h_, 5, 0, 0, encode({5}, 16, true), 16);
  EXPECT_EQ(ao_bufsize_async(h_), 8);

  ao_pause_async(h_, 0);
  ao_pause_async(h_, 0);  // resuming while playing changes nothing
  ASSERT_TRUE(fake_ao_wait_plays(5, 5000));
  stop();
  const std::vector<Bytes> blocks = device_blocks();
  ASSERT_EQ(blocks.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(blocks[static_cast<size_t>(i)], encode({i + 1}, 16, true));
}

TEST_F(Output, ClearDropsTheQueueButNotTheBlockPlaying) {
  ASSERT_NE(create(16), nullptr);
  fake_ao_hold(1);
  start_playing(encode({1, 1}, 16, true), 16, 7);
  for (int id = 8; id <= 10; ++id) play(h_, id, 0, 0, encode({id, id}, 16, true), 16);
  EXPECT_EQ(ao_bufsize_async(h_), 12);
  {
    StderrCapture capture;
    ao_clear_async(h_);
    EXPECT_EQ(capture.text(), "3 elements cleared\n");
  }
  EXPECT_EQ(ao_bufsize_async(h_), 0);
  EXPECT_EQ(ao_is_at_music_id_async(h_), 7);
  play(h_, 11, 0, 0, encode({11}, 16, true), 16);
  fake_ao_hold(0);
  ASSERT_TRUE(fake_ao_wait_plays(2, 5000));
  stop();
  const std::vector<Bytes> blocks = device_blocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[1], encode({11}, 16, true));
}

TEST_F(Output, VolumeIsKeptInHundredthsWithUnitySnapping) {
  ASSERT_NE(create(16), nullptr);
  const double big = std::numeric_limits<double>::max();
  const struct {
    double set, read;
  } cases[] = {
      {99.9, 100.0},        {100.1, 100.0},       {99.89, 99.89},          {100.11, 100.11},
      {50.555, 50.55},      {0.0, 0.0},           {-25.5, -25.5},          {150.0, 150.0},
      {1e300, 21474836.47}, {-big, -21474836.48}, {HUGE_VAL, 21474836.47},
  };
  for (const auto &c : cases) {
    ao_set_volume_async(h_, c.set);
    EXPECT_EQ(ao_volume_async(h_), c.read) << c.set;
  }
  ao_set_volume_async(h_, 42.0);
  ao_set_volume_async(h_, std::nan(""));
  EXPECT_EQ(ao_volume_async(h_), 42.0);
}

TEST_F(Output, VolumeAppliesFromTheNextBlockTakenAndSaturates) {
  ASSERT_NE(create(16), nullptr);
  fake_ao_hold(1);
  const Bytes loud = encode({30000, -30000, -3, 3}, 16, true);
  start_playing(loud);
  play(h_, 2, 0, 0, loud, 16);
  ao_set_volume_async(h_, 150.0);
  play(h_, 3, 0, 0, loud, 16);
  fake_ao_hold(0);
  ASSERT_TRUE(fake_ao_wait_plays(3, 5000));
  ao_set_volume_async(h_, 50.0);
  play(h_, 4, 0, 0, loud, 16);
  ASSERT_TRUE(fake_ao_wait_plays(4, 5000));
  stop();
  const std::vector<Bytes> blocks = device_blocks();
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[0], loud);
  EXPECT_EQ(decode(blocks[1], 16, true), (std::vector<int64_t>{32767, -32768, -4, 4}));
  EXPECT_EQ(decode(blocks[2], 16, true), (std::vector<int64_t>{32767, -32768, -4, 4}));
  EXPECT_EQ(decode(blocks[3], 16, true), (std::vector<int64_t>{15000, -15000, -1, 1}));
}

TEST_F(Output, StopOnAnIdleHandle) {
  ASSERT_NE(create(16), nullptr);
  StderrCapture capture;
  stop_loudly();
  EXPECT_EQ(capture.text(), stop_text(0));
  EXPECT_EQ(fake_ao_close_count(), 1);
}

TEST_F(Output, StopOnABusyHandleLetsTheBlockPlayingFinish) {
  ASSERT_NE(create(16), nullptr);
  fake_ao_hold(1);
  start_playing(encode({1}, 16, true));
  play(h_, 2, 0, 0, encode({2}, 16, true), 16);
  play(h_, 3, 0, 0, encode({3}, 16, true), 16);
  StderrCapture capture;
  // The device finishes its block only once the stop is waiting for it.
  std::thread release([] {
    sandrel_test::wait_for_stderr("stop command queued\n", 10000);
    fake_ao_hold(0);
  });
  stop_loudly();
  release.join();
  EXPECT_EQ(capture.text(), stop_text(2));
  EXPECT_EQ(fake_ao_play_calls(), 1);
  EXPECT_EQ(fake_ao_close_count(), 1);
}

TEST_F(Output, StopOnAPausedHandleReleasesTheThread) {
  ASSERT_NE(create(16), nullptr);
  fake_ao_hold(1);
  start_playing(encode({1}, 16, true));
  ao_pause_async(h_, 1);
  for (int id = 2; id <= 4; ++id) play(h_, id, 0, 0, encode({id}, 16, true), 16);
  StderrCapture capture;
  fake_ao_hold(0);
  stop_loudly();
  EXPECT_EQ(capture.text(), stop_text(3));
  EXPECT_EQ(fake_ao_play_calls(), 1);
  EXPECT_EQ(fake_ao_close_count(), 1);
}

// The macOS variant has no stopped state: a failed write is not reported,
// later blocks are still queued and played, and clear still empties the
// queue.
TEST_F(Output, DeviceFailureDoesNotEndPlayback) {
  if (!kMacos) GTEST_SKIP() << "the macOS variant's rule";
  ASSERT_NE(create(16), nullptr);
  fake_ao_fail_play(1);
  fake_ao_hold(1);
  StderrCapture capture;
  start_playing(encode({1}, 16, true), 16, 4);
  play(h_, 5, 0, 0, encode({2, 2}, 16, true), 16);
  play(h_, 6, 0, 0, encode({3, 3}, 16, true), 16);
  EXPECT_EQ(ao_bufsize_async(h_), 8);
  fake_ao_release_until(2);
  ASSERT_TRUE(fake_ao_wait_plays(3, 5000));
  EXPECT_EQ(ao_is_at_music_id_async(h_), 6);
  play(h_, 7, 0, 0, encode({4}, 16, true), 16);
  play(h_, 8, 0, 0, encode({5}, 16, true), 16);
  EXPECT_EQ(ao_bufsize_async(h_), 4);
  ao_clear_async(h_);
  EXPECT_EQ(ao_bufsize_async(h_), 0);
  fake_ao_hold(0);
  stop_loudly();
  EXPECT_EQ(capture.text(), "2 elements cleared\n" + stop_text(0));
  const std::vector<Bytes> blocks = device_blocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0], encode({2, 2}, 16, true));
  EXPECT_EQ(blocks[1], encode({3, 3}, 16, true));
}

TEST_F(Output, DeviceFailureEndsPlaybackAndStopStillCleansUp) {
  if (kMacos) GTEST_SKIP() << "the Linux variant's rule";
  ASSERT_NE(create(16), nullptr);
  fake_ao_fail_play(1);
  fake_ao_hold(1);
  start_playing(encode({1}, 16, true), 16, 4);
  play(h_, 5, 0, 0, encode({2, 2}, 16, true), 16);
  play(h_, 6, 0, 0, encode({3, 3}, 16, true), 16);
  StderrCapture capture;
  fake_ao_hold(0);
  // Until the thread marks the handle stopped, blocks are still queued
  // (never to be played); count them, then expect refusals.
  int extra = 0;
  const Bytes probe = encode({9}, 16, true);
  for (int tries = 0; tries < 5000; ++tries) {
    const int before = ao_bufsize_async(h_);
    play(h_, 9, 0, 0, probe, 16);
    if (ao_bufsize_async(h_) == before) break;
    ++extra;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const int queued = 8 + 2 * extra;
  EXPECT_EQ(ao_bufsize_async(h_), queued);
  play(h_, 9, 0, 0, probe, 16);
  ao_clear_async(h_);  // does nothing on a failed handle
  EXPECT_EQ(ao_bufsize_async(h_), queued);
  EXPECT_EQ(ao_is_at_music_id_async(h_), 4);
  ao_set_volume_async(h_, 50.0);
  EXPECT_EQ(ao_volume_async(h_), 50.0);
  ao_pause_async(h_, 1);
  stop_loudly();
  EXPECT_EQ(capture.text(),
            "Unexpected, ao_play returns 0 --> ao device must be closed\n"
            "Stopping play loop\n" +
                stop_text(2 + extra));
  EXPECT_EQ(fake_ao_play_calls(), 1);
  EXPECT_EQ(fake_ao_block_count(), 0);
  EXPECT_EQ(fake_ao_close_count(), 1);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Creates a handle with too little address space left for a thread stack;
// exits 0 when that gave no handle and closed the device.
void create_without_room_for_a_thread() {
  long pages = 0;
  FILE *statm = std::fopen("/proc/self/statm", "r");
  if (!statm || std::fscanf(statm, "%ld", &pages) != 1) std::_Exit(2);
  std::fclose(statm);
  const rlim_t limit =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{2} << 20);
  struct rlimit rl;
  rl.rlim_cur = rl.rlim_max = limit;
  if (setrlimit(RLIMIT_AS, &rl) != 0) std::_Exit(3);
  ao_handle *h = ao_create_async(16, 44100, 2, 1, nullptr);
  std::_Exit(h == nullptr && fake_ao_close_count() == 1 ? 0 : 4);
}

// Run in a fresh process, which has no cached thread stacks to reuse.
TEST_F(Output, ThreadThatCannotStartGivesNoHandle) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(create_without_room_for_a_thread(), ::testing::ExitedWithCode(0),
              "^Cannot start the playback thread, error code = 11\n$");
}
#endif

}  // namespace
