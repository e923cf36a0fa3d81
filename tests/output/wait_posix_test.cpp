// The Linux variant's deadlines: absolute CLOCK_REALTIME times, as
// sem_timedwait takes them.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>

#include "output.h"

namespace {

TEST(Waiting, DeadlineCarriesIntoTheSeconds) {
  const struct {
    long nsec;
    int ms;
    time_t add_sec;
    long expect_nsec;
  } cases[] = {
      {900000000, 250, 1, 150000000},
      {600000000, 1500, 2, 100000000},
      {0, 999, 0, 999000000},
      {999999999, 1, 1, 999999},
      {0, 1000, 1, 0},
      {123, 0, 0, 123},
  };
  for (const auto &c : cases) {
    struct timespec t = {1000, c.nsec};
    sandrel::add_milliseconds(&t, c.ms);
    EXPECT_EQ(t.tv_sec, 1000 + c.add_sec) << c.nsec << " + " << c.ms;
    EXPECT_EQ(t.tv_nsec, c.expect_nsec) << c.nsec << " + " << c.ms;
  }
}

int64_t ns(const struct timespec &t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

TEST(Waiting, DeadlineIsRealtimeNowPlusTheWait) {
  struct timespec before, deadline, after;
  clock_gettime(CLOCK_REALTIME, &before);
  sandrel::makeSemTimeoutTime(&deadline, 1500);
  clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_GE(ns(deadline), ns(before) + 1500000000);
  EXPECT_LE(ns(deadline), ns(after) + 1500000000);
  EXPECT_LT(deadline.tv_nsec, 1000000000);
}

}  // namespace
