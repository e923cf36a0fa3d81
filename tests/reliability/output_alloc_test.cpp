// Allocation failures inside libsandrel's calls, against the fake libao:
// the n-th allocation of ao_create_async and ao_play_async fails, for every
// n the call reaches, each in a child process (isolate.h). A failed
// creation gives null with its message and leaves nothing open or
// allocated; a failed play queues nothing (the macOS variant: an empty
// block) and the handle plays on. ao_stop_async allocates nothing at all.
#include <gtest/gtest.h>
#include <sandrel.h>

#include <string>
#include <vector>

#include "fake_ao.h"
#include "fault_alloc.h"
#include "isolate.h"
#include "output_test_util.h"
#include "stderr_capture.h"

namespace {

using sandrel_test::Bytes;
using sandrel_test::device_blocks;
using sandrel_test::encode;
using sandrel_test::kMacos;
using sandrel_test::play;

bool starts_with(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

void stop_quietly(ao_handle *h) {
  StderrCapture quiet;
  ao_stop_async(h);
}

// One handle made and stopped before the count: libao's one-time set-up is
// done, and the C library keeps the thread's stack (with its TLS blocks),
// which each child's playback thread then reuses instead of allocating.
void warm_up() {
  fake_ao_reset();
  stop_quietly(ao_create_async(16, 44100, 2, SANDREL_FMT_LITTLE, nullptr));
}

// Each failure of ao_create_async names its cause; nothing stays open.
TEST(CreateAllocation, FailureGivesNullWithItsMessageAndNothingOpen) {
  warm_up();
  const isolate::tally t = isolate::each_allocation("libsandrel", [](long n) {
    fake_ao_reset();
    std::string err;
    ao_handle *h;
    bool fired;
    {
      StderrCapture capture;
      fault::arm(n);
      h = ao_create_async(32, 44100, 2, SANDREL_FMT_LITTLE, nullptr);
      fired = fault::disarm();
      err = capture.text();
    }
    if (h == nullptr) {
      EXPECT_TRUE(fired);
      // No semaphore fails for want of memory: sem_init allocates nothing,
      // and libdispatch waits for memory instead. The stop element can.
      const std::string no_stop_element =
          "new_elem: Cannot allocate Queue Element!\n"
          "Cannot create the locks, semaphores and stop element of ao_handle\n";
      const std::string causes[] = {
          "Cannot allocate ao_handle!\n",
          "Cannot open ao-device, error code = ",
          no_stop_element,
          "Cannot start the playback thread, error code = 11\n",
      };
      bool named = false;
      for (const std::string &cause : causes) named = named || starts_with(err, cause);
      EXPECT_TRUE(named) << err;
      // A device was open when the failure came after it: it is closed.
      const bool device_made =
          !starts_with(err, "Cannot allocate ao_handle") && !starts_with(err, "Cannot open");
      EXPECT_EQ(fake_ao_close_count(), device_made ? 1 : 0) << err;
      return fired;
    }
    // A fault that did not stop the creation: the handle plays.
    EXPECT_EQ(err, "");
    play(h, 1, 0.0, 1.0, encode({1, 2}, 32, true), 32);
    EXPECT_TRUE(fake_ao_wait_plays(1, 5000));
    stop_quietly(h);
    EXPECT_EQ(fake_ao_close_count(), 1);
    return fired;
  });
  EXPECT_GE(t.fired, 3);
  EXPECT_EQ(t.ffmpeg_crashes, 0);
  isolate::print_tally("ao_create_async", t);
}

struct PlayCase {
  const char *name;
  int handle_bits;  // the block's width too
  unsigned long long device_widths;
};

void PrintTo(const PlayCase &c, std::ostream *os) { *os << c.name; }

class PlayAllocation : public ::testing::TestWithParam<PlayCase> {};

// The block being played stays; the one whose allocation failed is not
// queued (the macOS variant queues it empty, or not at all when the element
// itself had no memory); the next one is queued and played as usual.
TEST_P(PlayAllocation, FailedBlockIsNotQueuedAndTheHandlePlaysOn) {
  const PlayCase &c = GetParam();
  const Bytes first = encode({11, 12}, c.handle_bits, true);
  const Bytes failing = encode({21, 22, 23, 24}, c.handle_bits, true);
  const Bytes next = encode({31, 32, 33}, c.handle_bits, true);
  warm_up();
  const isolate::tally t = isolate::each_allocation("libsandrel", [&](long n) {
    fake_ao_reset();
    fake_ao_accept_widths(c.device_widths);
    ao_handle *h = ao_create_async(c.handle_bits, 44100, 2, SANDREL_FMT_LITTLE, nullptr);
    if (h == nullptr) {
      ADD_FAILURE() << "no handle";
      return false;
    }
    const int device_bytes = ao_real_output_bits_async(h) / 8;
    fake_ao_hold(1);
    play(h, 1, 0.0, 1.0, first, c.handle_bits);
    EXPECT_TRUE(fake_ao_wait_plays(1, 5000));
    std::string err;
    bool fired;
    {
      StderrCapture capture;
      fault::arm(n);
      play(h, 2, 1.0, 1.0, failing, c.handle_bits);
      fired = fault::disarm();
      err = capture.text();
    }
    const int queued = ao_bufsize_async(h);
    play(h, 3, 2.0, 1.0, next, c.handle_bits);
    fake_ao_hold(0);
    const int expected_plays = 1 + (queued > 0 || (kMacos && err.find("new_elem") != 0)) + 1;
    EXPECT_TRUE(fake_ao_wait_plays(expected_plays, 5000));
    stop_quietly(h);

    const std::vector<Bytes> blocks = device_blocks();
    if (!fired) {
      EXPECT_EQ(err, "");
      EXPECT_EQ(blocks.size(), 3u);
      return false;
    }
    EXPECT_EQ(queued, 0) << "a block whose allocation failed was queued";
    EXPECT_TRUE(starts_with(err, "Allocation of output buffer of 4 samples of") ||
                starts_with(err, "new_elem: Cannot allocate "))
        << err;
    EXPECT_EQ(blocks.size(), static_cast<size_t>(expected_plays));
    if (blocks.size() != static_cast<size_t>(expected_plays)) return fired;
    EXPECT_EQ(blocks.front().size(), first.size() / (c.handle_bits / 8) * device_bytes);
    EXPECT_EQ(blocks.back().size(), next.size() / (c.handle_bits / 8) * device_bytes);
    if (expected_plays == 3) {
      EXPECT_TRUE(blocks[1].empty());  // the macOS variant's empty block
    }
    return fired;
  });
  EXPECT_GE(t.fired, 2);
  isolate::print_tally("ao_play_async", t);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, PlayAllocation,
    ::testing::Values(PlayCase{"same_width", 16, ~0ull},
                      // a 16-bit device under 32-bit blocks: converted first
                      PlayCase{"narrowed", 32, 1ull << 16}),
    [](const auto &info) { return std::string(info.param.name); });

// The stop element was made with the handle: stopping allocates nothing,
// so it can neither fail nor end the process for want of memory.
TEST(StopAllocation, StopAllocatesNothing) {
  for (bool busy : {false, true}) {
    SCOPED_TRACE(busy ? "blocks queued and one playing" : "idle");
    fake_ao_reset();
    ao_handle *h = ao_create_async(16, 44100, 2, SANDREL_FMT_LITTLE, nullptr);
    ASSERT_NE(h, nullptr);
    if (busy) {
      fake_ao_hold(1);
      for (int id = 1; id <= 3; ++id) play(h, id, 0.0, 1.0, encode({id}, 16, true), 16);
      ASSERT_TRUE(fake_ao_wait_plays(1, 5000));
      fake_ao_hold(0);
    }
    StderrCapture quiet;
    fault::arm(1);
    ao_stop_async(h);
    const long made = fault::counted();
    const bool fired = fault::disarm();
    quiet.text();
    EXPECT_FALSE(fired);
    EXPECT_EQ(made, 0);
    EXPECT_EQ(fake_ao_close_count(), 1);
  }
}

}  // namespace
