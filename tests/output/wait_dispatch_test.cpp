// The macOS variant's deadlines: libdispatch times relative to the moment
// of the call.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "output.h"

namespace {

// Even the longest wait is a time on the clock that counts from boot: not
// a wall-clock time (top bit set) and not forever.
TEST(Waiting, DeadlineCountsFromTheCall) {
  for (int ms : {1, 250, 1500, INT_MAX}) {
    const int64_t ns = int64_t{ms} * 1000000;
    const dispatch_time_t before = dispatch_time(DISPATCH_TIME_NOW, ns);
    const dispatch_time_t deadline = sandrel::makeDispatchTimeoutTime(ms);
    const dispatch_time_t after = dispatch_time(DISPATCH_TIME_NOW, ns);
    EXPECT_GE(deadline, before) << ms;
    EXPECT_LE(deadline, after) << ms;
    EXPECT_EQ(deadline >> 63, 0u) << ms;
    EXPECT_NE(deadline, DISPATCH_TIME_FOREVER) << ms;
  }
}

}  // namespace
