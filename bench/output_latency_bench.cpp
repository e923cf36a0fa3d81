// How soon a block handed to an idle handle reaches the device, for the
// variant of libsandrel this tree builds:
//
//   cmake --build build --target output_latency_bench
//   build/bin/output_latency_bench [trials]          (Linux variant)
//   cmake --build build-macos --target output_latency_bench
//   build-macos/bin/output_latency_bench [trials]    (macOS variant)
//
// The device is the tests' fake libao, paced like a 44.1 kHz stereo 16-bit
// device. Before each trial the handle has had nothing to play for a random
// 30 to 290 ms, so its playback thread is at a random point of its cycle
// on an empty queue (a timed take of up to 250 ms, then a 5 ms sleep).
// Per trial: how long ao_play_async took to return, and how long until the
// device's ao_play began with the block. Median, 90th percentile and worst.
#include <fcntl.h>
#include <sandrel.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "fake_ao.h"

namespace {

using Clock = std::chrono::steady_clock;

long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

void print_row(const char *name, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("  %-34s median %9.3f ms   p90 %9.3f ms   worst %9.3f ms\n", name,
              ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back());
}

}  // namespace

int main(int argc, char **argv) {
  const int trials = argc > 1 ? std::atoi(argv[1]) : 200;
  if (trials < 1) {
    std::fprintf(stderr, "usage: %s [trials]\n", argv[0]);
    return 2;
  }
  // The library reports its clears and stops on stderr.
  const int saved = dup(2);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 2);
  close(null);

  fake_ao_reset();
  fake_ao_pace(176400);
  ao_handle *h = ao_create_async(16, 44100, 2, SANDREL_FMT_LITTLE, nullptr);
  if (!h) {
    std::printf("no handle\n");
    return 1;
  }
  const std::vector<unsigned char> block(4096, 0x11);  // 23 ms at the pace
  sandrel_format format;
  std::memset(&format, 0, sizeof format);
  format.bits = 16;

  std::mt19937 random(12345);
  std::vector<double> returned, reached;
  for (int i = 1; i <= trials; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30 + random() % 261));
    const long long start = now_ns();
    ao_play_async(h, i, 0.0, 0.0, static_cast<int>(block.size()), block.data(), format);
    const long long back = now_ns();
    if (!fake_ao_wait_plays(i, 5000)) {
      std::printf("block %d never reached the device\n", i);
      return 1;
    }
    returned.push_back((back - start) / 1e6);
    reached.push_back((fake_ao_play_began_ns(i) - start) / 1e6);
  }
  ao_stop_async(h);
  dup2(saved, 2);
  close(saved);

  const int version = ao_async_version();
  std::printf("%s variant (version 0x%x): ao_play_async of 4096 bytes on an idle handle, %d trials\n",
              version == 0x10000 ? "macOS" : "Linux", version, trials);
  print_row("ao_play_async returned after", returned);
  print_row("block reached the device after", reached);
  return 0;
}
