// What the macOS variant relies on in libdispatch, checked against the one
// it was built with: the stand-in, or an installed libdispatch
// (SANDREL_DISPATCH_PREFIX). Counts, waits that end on a signal or at
// their deadline, time arithmetic that saturates, and a release of a
// semaphore still in use, which traps.
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

TEST(Dispatch, CountsAreTakenOneByOne) {
  EXPECT_EQ(dispatch_semaphore_create(-1), nullptr);
  dispatch_semaphore_t s = dispatch_semaphore_create(2);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(dispatch_semaphore_wait(s, DISPATCH_TIME_NOW), 0);
  EXPECT_EQ(dispatch_semaphore_wait(s, DISPATCH_TIME_FOREVER), 0);
  EXPECT_NE(dispatch_semaphore_wait(s, DISPATCH_TIME_NOW), 0);
  // Nobody waits: no thread woken.
  EXPECT_EQ(dispatch_semaphore_signal(s), 0);
  EXPECT_EQ(dispatch_semaphore_signal(s), 0);
  dispatch_release(s);
}

TEST(Dispatch, WaitsEndOnASignalOrAtTheirDeadline) {
  dispatch_semaphore_t s = dispatch_semaphore_create(0);
  ASSERT_NE(s, nullptr);
  std::thread signaller([s] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    dispatch_semaphore_signal(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    dispatch_semaphore_signal(s);
  });
  EXPECT_EQ(dispatch_semaphore_wait(s, DISPATCH_TIME_FOREVER), 0);
  EXPECT_EQ(dispatch_semaphore_wait(s, dispatch_time(DISPATCH_TIME_NOW, 10000000000)), 0);
  signaller.join();

  auto start = Clock::now();
  EXPECT_NE(dispatch_semaphore_wait(s, dispatch_time(DISPATCH_TIME_NOW, 50000000)), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
  // Deadlines already past do not wait.
  start = Clock::now();
  EXPECT_NE(dispatch_semaphore_wait(s, dispatch_time(DISPATCH_TIME_NOW, -1000000000)), 0);
  EXPECT_NE(dispatch_semaphore_wait(s, 1), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  dispatch_release(s);
}

// Only what every libdispatch agrees on: small times on the clock since
// boot, sums too late for it, and wall-clock times (top bit set), which
// count backwards from DISPATCH_TIME_FOREVER.
TEST(Dispatch, TimeArithmeticSaturates) {
  const dispatch_time_t kForever = DISPATCH_TIME_FOREVER;
  const struct {
    dispatch_time_t when;
    int64_t delta;
    dispatch_time_t expected;
  } cases[] = {
      {1000, 5, 1005},
      {1000, -5, 995},
      {1000, -1000, 1},  // never NOW, which would mean "the moment of the wait"
      {1000, INT64_MIN, 1},
      {1000, INT64_MAX, kForever},
      {DISPATCH_TIME_NOW, INT64_MAX, kForever},
      {kForever, -5, kForever},
      {kForever, 5, kForever},
      // 11 ns after 1970, and 10 ns later; earlier than 1970 is -2.
      {kForever - 10, 10, kForever - 20},
      {kForever - 10, -20, kForever - 1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(dispatch_time(c.when, c.delta), c.expected) << c.when << " + " << c.delta;

  // From now: later by the delta, on a clock below the wall-clock range.
  const dispatch_time_t soon = dispatch_time(DISPATCH_TIME_NOW, 0);
  const dispatch_time_t later = dispatch_time(DISPATCH_TIME_NOW, 1500000000);
  EXPECT_EQ(later >> 63, 0u);
  EXPECT_GE(later - soon, 1500000000u);
  EXPECT_LT(later - soon, 1500000000u + 60000000000u);
}

void release_below_initial_count() {
  dispatch_semaphore_t s = dispatch_semaphore_create(1);
  dispatch_semaphore_wait(s, DISPATCH_TIME_NOW);
  dispatch_release(s);
}

// libdispatch traps (SIGILL on x86, SIGTRAP on arm64) and says nothing off
// Apple.
bool trapped(int status) {
  return WIFSIGNALED(status) && (WTERMSIG(status) == SIGILL || WTERMSIG(status) == SIGTRAP);
}

TEST(Dispatch, ReleasingASemaphoreInUseTraps) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(release_below_initial_count(), trapped, "");
  // Above the initial count is fine.
  dispatch_semaphore_t s = dispatch_semaphore_create(0);
  ASSERT_NE(s, nullptr);
  dispatch_semaphore_signal(s);
  dispatch_release(s);
}

}  // namespace
