// The libdispatch stand-in that the macOS variant uses off Apple: counts,
// timeouts on the monotonic clock, and the release of a semaphore in use.
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

uint64_t monotonic_ns() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

TEST(DispatchStandin, CountsAreTakenOneByOne) {
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

TEST(DispatchStandin, WaitsEndOnASignalOrAtTheirDeadline) {
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

  const auto start = Clock::now();
  EXPECT_NE(dispatch_semaphore_wait(s, dispatch_time(DISPATCH_TIME_NOW, 50000000)), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
  // A deadline already past does not wait.
  EXPECT_NE(dispatch_semaphore_wait(s, dispatch_time(DISPATCH_TIME_NOW, -1000000000)), 0);
  EXPECT_NE(dispatch_semaphore_wait(s, 1), 0);
  dispatch_release(s);
}

TEST(DispatchStandin, TimesAreMonotonicNanoseconds) {
  const uint64_t before = monotonic_ns();
  const dispatch_time_t t = dispatch_time(DISPATCH_TIME_NOW, 1500000000);
  const uint64_t after = monotonic_ns();
  EXPECT_GE(t, before + 1500000000);
  EXPECT_LE(t, after + 1500000000);

  const struct {
    dispatch_time_t when;
    int64_t delta;
    dispatch_time_t expected;
  } cases[] = {
      {1000, 5, 1005},
      {1000, -5, 995},
      {1000, -1000, 1},  // never NOW, which would mean "the moment of the wait"
      {1000, INT64_MIN, 1},
      {1000, INT64_MAX, 1000 + static_cast<uint64_t>(INT64_MAX)},
      {DISPATCH_TIME_FOREVER - 10, 10, DISPATCH_TIME_FOREVER},
      {DISPATCH_TIME_FOREVER - 10, 9, DISPATCH_TIME_FOREVER - 1},
      {DISPATCH_TIME_FOREVER, -5, DISPATCH_TIME_FOREVER},
  };
  for (const auto &c : cases)
    EXPECT_EQ(dispatch_time(c.when, c.delta), c.expected) << c.when << " + " << c.delta;
}

void release_below_initial_count() {
  dispatch_semaphore_t s = dispatch_semaphore_create(1);
  dispatch_semaphore_wait(s, DISPATCH_TIME_NOW);
  dispatch_release(s);
}

TEST(DispatchStandin, ReleasingASemaphoreInUseEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(release_below_initial_count(), "semaphore released while in use");
  // Above the initial count is fine.
  dispatch_semaphore_t s = dispatch_semaphore_create(0);
  ASSERT_NE(s, nullptr);
  dispatch_semaphore_signal(s);
  dispatch_release(s);
}

}  // namespace
