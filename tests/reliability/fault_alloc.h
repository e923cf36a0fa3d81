// Allocation faults on demand. The program that links fault_alloc.cpp (with
// its symbols exported: ENABLE_EXPORTS) defines malloc, calloc, realloc,
// free, the aligned allocators and operator new/delete itself, ahead of
// every library; each forwards to the next definition (the C library's, or
// a sanitizer's) and counts.
//
// Only allocations of the thread that armed the countdown are counted and
// failed, so the library's own threads and the test framework are left
// alone. Live blocks are counted over all threads.
#ifndef MELVOR_TESTS_FAULT_ALLOC_H
#define MELVOR_TESTS_FAULT_ALLOC_H

#include <cstdint>

namespace fault {

// Allocation n (from 1) made on this thread from now on returns null (new
// throws std::bad_alloc); the ones before and after it succeed.
void arm(long n);
// Stops counting; true when the n-th allocation was reached and failed.
// A second call answers the same.
bool disarm();
// Allocations this thread made since arm().
long counted();
// Blocks allocated and not yet freed, over all threads.
int64_t live_blocks();
// The return addresses of the allocation that failed last on this thread.
int failure_site(void **frames, int capacity);

// Leak tracking, for one thread at a time: from track_begin on, every block
// this thread allocates is noted with the place in the library under test
// (the first frame inside the shared object whose file name starts with
// `owner`) that led to it, until it is freed, on any thread.
void track_begin(const char *owner);
struct leaks {
  long ours = 0;     // blocks still allocated that the library answers for
  long ffmpegs = 0;  // blocks FFmpeg lost in the very call whose allocation failed
  void *first_site = nullptr;  // where one of ours came from
};
// Stops tracking and sorts what is left. A block counts as FFmpeg's when
// FFmpeg allocated it in the same call into FFmpeg as the failed
// allocation: from the same place in the library, with no allocation from
// anywhere else in between. What the fake libao keeps, and what a
// sanitizer runtime's wrapper had the C library keep, does not count.
// Everything else left over is the library's.
leaks track_end();

// Runs f(n) for n = 1, 2, ...: f arms the countdown at n around the call
// under test and returns what disarm() said. Ends at the first n the call
// did not reach (it made fewer allocations, so none failed) and returns
// how many runs had an allocation fail.
template <typename F>
long for_each_allocation(F f, long limit = 100000) {
  long n = 1;
  while (n <= limit && f(n)) ++n;
  return n - 1;
}

}  // namespace fault

#endif
