// Device faults through the fake libao, beyond the handle tests: a write
// that fails at the first, a middle or the last block of a run; a device
// that refuses every width, live and file; a write that blocks while the
// host stops the handle.
#include <gtest/gtest.h>
#include <sandrel.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fake_ao.h"
#include "output_test_util.h"
#include "stderr_capture.h"

namespace {

using sandrel_test::Bytes;
using sandrel_test::encode;
using sandrel_test::kMacos;
using sandrel_test::play;

const char kFailure[] =
    "Unexpected, ao_play returns 0 --> ao device must be closed\n"
    "Stopping play loop\n";

Bytes block_of(int id) { return encode({id, -id}, 16, true); }

struct FailAt {
  const char *name;
  int failing;  // the write that fails, from 1
};

void PrintTo(const FailAt &c, std::ostream *os) { *os << c.name; }

class WriteFailure : public ::testing::TestWithParam<FailAt> {};

// Six blocks queued while the device holds the first. On Linux the
// failing write ends playback: the blocks before it reached the device,
// none after it did, later blocks are refused, and stop frees the rest. The
// macOS variant reports nothing and plays every other block.
TEST_P(WriteFailure, EndsPlaybackOnLinuxAndIsPassedOverOnMacos) {
  const int kBlocks = 6;
  const int failing = GetParam().failing;
  fake_ao_reset();
  fake_ao_fail_play(failing);
  fake_ao_hold(1);
  ao_handle *h = ao_create_async(16, 44100, 2, SANDREL_FMT_LITTLE, nullptr);
  ASSERT_NE(h, nullptr);
  StderrCapture capture;
  for (int id = 1; id <= kBlocks; ++id) play(h, id, id, 60.0, block_of(id), 16);
  ASSERT_TRUE(fake_ao_wait_plays(1, 5000));
  fake_ao_hold(0);
  if (kMacos) {
    ASSERT_TRUE(fake_ao_wait_plays(kBlocks, 5000));
  } else {
    ASSERT_TRUE(sandrel_test::wait_for_stderr(kFailure, 5000));
  }
  // The thread has ended on Linux once it wrote the messages... but it sets
  // the stopped flag just after: wait until blocks are refused.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int extra = 0;
  while (!kMacos && std::chrono::steady_clock::now() < deadline) {
    const int before = ao_bufsize_async(h);
    play(h, 99, 0, 0, block_of(99), 16);
    if (ao_bufsize_async(h) == before) break;
    ++extra;
  }
  const int left_queued = kMacos ? 0 : kBlocks - failing + extra;
  EXPECT_EQ(ao_bufsize_async(h), left_queued * 4);
  EXPECT_EQ(ao_is_at_music_id_async(h), kMacos ? kBlocks : failing);
  ao_stop_async(h);
  const std::string err = capture.text();

  const std::string stop_lines = "stopping ao_async, calling clear\n" +
                                 std::to_string(left_queued) + " elements cleared\n";
  EXPECT_EQ(err.find(stop_lines) != std::string::npos, true) << err;
  EXPECT_EQ(err.find(kFailure) != std::string::npos, !kMacos) << err;
  EXPECT_EQ(fake_ao_play_calls(), kMacos ? kBlocks : failing);
  EXPECT_EQ(fake_ao_close_count(), 1);
  std::vector<int> reached;
  for (const Bytes &b : sandrel_test::device_blocks()) {
    reached.push_back(static_cast<int>(sandrel_test::decode(b, 16, true).front()));
  }
  std::vector<int> expected;
  for (int id = 1; id <= (kMacos ? kBlocks : failing - 1); ++id) {
    if (id != failing) expected.push_back(id);
  }
  EXPECT_EQ(reached, expected);
}

INSTANTIATE_TEST_SUITE_P(Writes, WriteFailure,
                         ::testing::Values(FailAt{"first", 1}, FailAt{"middle", 3},
                                           FailAt{"last", 6}),
                         [](const auto &info) { return std::string(info.param.name); });

struct Refusal {
  int bits;
  const char *file;  // null: the live device
  int attempts;
};

// No width opens, live or file: null, libao's code in the message, every
// narrower width tried once, and nothing left to close.
TEST(Refusal, DeviceThatTakesNoWidthGivesNoHandle) {
  const Refusal cases[] = {
      {32, nullptr, 3}, {24, nullptr, 2}, {16, nullptr, 1}, {8, nullptr, 1},
      {32, "/tmp/refused.wav", 3}, {16, "/tmp/refused.wav", 1},
  };
  for (const Refusal &c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits, " << (c.file ? "file" : "live"));
    fake_ao_reset();
    fake_ao_accept_widths(0);
    fake_ao_refusal_errno(7);
    StderrCapture capture;
    EXPECT_EQ(ao_create_async(c.bits, 48000, 2, SANDREL_FMT_NATIVE, c.file), nullptr);
    EXPECT_EQ(capture.text(), "Cannot open ao-device, error code = 7\n");
    EXPECT_EQ(fake_ao_open_count(), c.attempts);
    for (int i = 0; i < c.attempts; ++i) {
      fake_ao_open a;
      ASSERT_TRUE(fake_ao_open_at(i, &a));
      EXPECT_EQ(a.live, c.file ? 0 : 1);
      EXPECT_EQ(a.bits, i == 0 ? c.bits : (c.bits > 24 && i == 1 ? 24 : 16));
    }
    EXPECT_EQ(fake_ao_close_count(), 0);
  }
}

// A device that blocks in its write while the host stops the handle, idle
// or paused behind it: the stop waits for the write and returns once it
// does, with the queue dropped and the device closed.
TEST(BlockingDevice, StopReturnsOnceTheWriteReturns) {
  for (bool paused : {false, true}) {
    SCOPED_TRACE(paused ? "paused" : "playing");
    fake_ao_reset();
    fake_ao_hold(1);
    ao_handle *h = ao_create_async(16, 44100, 2, SANDREL_FMT_LITTLE, nullptr);
    ASSERT_NE(h, nullptr);
    for (int id = 1; id <= 3; ++id) play(h, id, 0, 0, block_of(id), 16);
    ASSERT_TRUE(fake_ao_wait_plays(1, 5000));
    if (paused) ao_pause_async(h, 1);
    StderrCapture quiet;
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
      ao_stop_async(h);
      stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(stopped.load()) << "stop returned while the device was writing";
    EXPECT_EQ(fake_ao_close_count(), 0);
    const auto released = std::chrono::steady_clock::now();
    fake_ao_hold(0);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - released, std::chrono::seconds(2));
    quiet.text();
    EXPECT_EQ(fake_ao_play_calls(), 1);
    EXPECT_EQ(fake_ao_close_count(), 1);
  }
}

}  // namespace
