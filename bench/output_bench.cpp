// Figures of the output library.
//
//   ./run build && build/bin/output_bench
//   cmake --build build-macos --target output_bench && build-macos/bin/output_bench
//     (the macOS variant, once ./run test has made build-macos)
//
// 1. Conversion throughput (convert_req_to_real, its allocation included)
//    for 32->16, 24->16, 16->32 and equal widths, and in-place volume
//    scaling, each beside a plain memcpy of the same input bytes in the same
//    run.
// 2. The cost of one ao_play_async of an 8192-byte block while the queue is
//    not empty (the handle is paused so that it stays so): median and 99th
//    percentile.
// 3. CPU time used by an idle handle's playback thread over 10 s.
// Devices are WAV files written to /dev/null through libao's "wav" driver.
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#ifdef __APPLE__
#include <mach/mach.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "output.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kBlock = 1 << 20;  // input bytes per conversion
const int kRounds = 200;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps the compiler from dropping work whose result is unused.
volatile unsigned char sink;

double memcpy_rate(const std::vector<unsigned char> &in) {
  std::vector<unsigned char> out(in.size());
  const auto start = Clock::now();
  for (int r = 0; r < kRounds; ++r) {
    std::memcpy(out.data(), in.data(), in.size());
    sink = out[static_cast<size_t>(r) % out.size()];
  }
  return in.size() * double(kRounds) / seconds_since(start) / 1e6;
}

double convert_rate(const std::vector<unsigned char> &in, int from, int to) {
  const auto start = Clock::now();
  for (int r = 0; r < kRounds; ++r) {
    int length = 0;
    char *out = sandrel::convert_req_to_real(in.data(), static_cast<int>(in.size()), from, to,
                                             SANDREL_FMT_LITTLE, &length);
    sink = static_cast<unsigned char>(out[length / 2]);
    std::free(out);
  }
  return in.size() * double(kRounds) / seconds_since(start) / 1e6;
}

double volume_rate(std::vector<unsigned char> block, int bits) {
  const auto start = Clock::now();
  for (int r = 0; r < kRounds; ++r) {
    sandrel::adjustVolume(reinterpret_cast<char *>(block.data()), static_cast<int>(block.size()),
                          r % 2 ? 5000 : 15000, bits, SANDREL_FMT_LITTLE);
    sink = block[static_cast<size_t>(r)];
  }
  return block.size() * double(kRounds) / seconds_since(start) / 1e6;
}

// The best of five runs: the machine is shared, and a figure is only ever
// slowed down by others.
template <typename F>
double best_of(F run) {
  double best = 0.0;
  for (int i = 0; i < 5; ++i) best = std::max(best, run());
  return best;
}

void conversion_figures() {
  std::vector<unsigned char> in(kBlock);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
  std::printf(
      "conversion of %d input bytes, %d rounds, best of 5 (MB/s of input; memcpy of the same "
      "bytes)\n",
      kBlock, kRounds);
  const struct {
    const char *name;
    int from, to;
  } cases[] = {{"32->16", 32, 16},
               {"24->16", 24, 16},
               {"16->32", 16, 32},
               {"32->32", 32, 32},
               {"16->16", 16, 16}};
  for (const auto &c : cases) {
    const double copy = best_of([&] { return memcpy_rate(in); });
    const double rate = best_of([&] { return convert_rate(in, c.from, c.to); });
    std::printf("  %-22s %8.0f MB/s   memcpy %8.0f MB/s   %5.1f%% of memcpy\n", c.name, rate, copy,
                100.0 * rate / copy);
  }
  for (int bits : {16, 32}) {
    const double copy = best_of([&] { return memcpy_rate(in); });
    const double rate = best_of([&] { return volume_rate(in, bits); });
    std::printf("  volume %2d-bit in place %8.0f MB/s   memcpy %8.0f MB/s   %5.1f%% of memcpy\n",
                bits, rate, copy, 100.0 * rate / copy);
  }
}

// stderr off while the library reports clears and stops.
int silence_stderr() {
  std::fflush(stderr);
  const int saved = dup(2);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 2);
  close(null);
  return saved;
}

void restore_stderr(int saved) {
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
}

void play_figures() {
  const int calls = 1000, batches = 20;
  std::vector<unsigned char> block(8192, 0x5A);
  const struct {
    const char *name;
    int in_bits, device_bits;
  } cases[] = {{"32-bit block, 32-bit device (copy)", 32, 32},
               {"32-bit block, 16-bit device", 32, 16}};
  std::printf("ao_play_async of 8192 bytes on a non-empty queue, %d calls\n", calls * batches);
  for (const auto &c : cases) {
    // The macOS variant converts from the width the handle asked for, which
    // the wav driver always opens with.
    if (ao_async_version() == 0x10000 && c.in_bits != c.device_bits) {
      std::printf("  %-36s (not in the macOS variant)\n", c.name);
      continue;
    }
    const int saved = silence_stderr();
    ao_handle *h = ao_create_async(c.device_bits, 44100, 2, SANDREL_FMT_LITTLE, "/dev/null");
    if (!h) {
      restore_stderr(saved);
      std::printf("  cannot open the wav driver on /dev/null\n");
      return;
    }
    ao_pause_async(h, 1);
    sandrel_format format;
    std::memset(&format, 0, sizeof format);
    format.bits = c.in_bits;
    std::vector<double> ns;
    for (int b = 0; b < batches; ++b) {
      ao_play_async(h, 0, 0.0, 0.0, 8192, block.data(), format);
      for (int i = 0; i < calls; ++i) {
        const auto start = Clock::now();
        ao_play_async(h, 1, 0.0, 0.0, 8192, block.data(), format);
        ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
      }
      ao_clear_async(h);
    }
    ao_stop_async(h);
    restore_stderr(saved);
    std::sort(ns.begin(), ns.end());
    std::printf("  %-36s median %7.0f ns   p99 %7.0f ns\n", c.name, ns[ns.size() / 2],
                ns[ns.size() * 99 / 100]);
  }
}

#ifdef __APPLE__
double thread_cpu_seconds(pthread_t thread) {
  thread_basic_info_data_t info;
  mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
  if (thread_info(pthread_mach_thread_np(thread), THREAD_BASIC_INFO,
                  reinterpret_cast<thread_info_t>(&info), &count) != KERN_SUCCESS)
    return -1.0;
  return info.user_time.seconds + info.system_time.seconds +
         (info.user_time.microseconds + info.system_time.microseconds) / 1e6;
}
#else
double thread_cpu_seconds(pthread_t thread) {
  clockid_t clock;
  struct timespec t;
  if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0) return -1.0;
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}
#endif

void idle_figure() {
  const int saved = silence_stderr();
  ao_handle *h = ao_create_async(16, 44100, 2, SANDREL_FMT_LITTLE, "/dev/null");
  restore_stderr(saved);
  if (!h) return;
  const double before = thread_cpu_seconds(h->thread);
  sleep(10);
  const double used = thread_cpu_seconds(h->thread) - before;
  const int saved2 = silence_stderr();
  ao_stop_async(h);
  restore_stderr(saved2);
  std::printf("idle handle: playback thread used %.3f ms of CPU in 10 s (%.4f%% of one core)\n",
              used * 1e3, used * 10.0);
}

}  // namespace

int main() {
  conversion_figures();
  play_figures();
  idle_figure();
  return 0;
}
