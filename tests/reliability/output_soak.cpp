// Output soak: four handles on paced fake devices, each driven by three
// host threads that play, clear, pause, resume, set the volume and query at
// random, for a given time; then each handle is stopped. Run under
// ThreadSanitizer (races, lock order) and AddressSanitizer (every block
// freed once); a watchdog prints every thread's stack on a hang.
//
// Checked at the end: each device received only blocks queued to its own
// handle, each at most once, and per host thread in the order queued (a
// subsequence: clears drop blocks), each scaled by one volume. Under
// AddressSanitizer a block freed twice ends the run, and LeakSanitizer
// reports one never freed at exit.
//
// output_soak [--seconds N]   (default 60)
#include <sandrel.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_ao.h"
#include "output_test_util.h"
#include "watchdog.h"

namespace {

using sandrel_test::Bytes;
using sandrel_test::decode;
using sandrel_test::encode;

const int kHandles = 4;
const int kDrivers = 3;     // host threads per handle
const int kSamples = 128;   // per block, 32-bit
const int kMarker = 10000;  // sample 0: scales to the volume itself
const int kUnit = 100000;   // sample 1: (handle * kDrivers + driver + 1) * kUnit

std::vector<int64_t> block_values(int handle, int driver, int seq) {
  std::vector<int64_t> v = {kMarker, int64_t{handle * kDrivers + driver + 1} * kUnit, seq};
  for (int i = 3; i < kSamples; ++i) v.push_back((seq * 131 + i * 7) % 20000 - 10000);
  return v;
}

struct Driver {
  std::vector<int> queued;  // sequence numbers, in the order queued
  long operations = 0;
};

struct Figures {
  long operations = 0, plays = 0, clears = 0, pauses = 0, volumes = 0, queries = 0;
};

bool check_devices(const std::vector<std::vector<Driver>> &drivers, const int device_of[],
                   long *played) {
  std::vector<std::vector<size_t>> next(kHandles, std::vector<size_t>(kDrivers, 0));
  const int blocks = fake_ao_block_count();
  *played = blocks;
  for (int i = 0; i < blocks; ++i) {
    Bytes b(static_cast<size_t>(fake_ao_block(i, nullptr, 0)));
    fake_ao_block(i, b.data(), b.size());
    const std::vector<int64_t> got = decode(b, 32, true);
    if (got.size() != static_cast<size_t>(kSamples)) {
      std::fprintf(stderr, "block %d: %zu samples\n", i, got.size());
      return false;
    }
    const int64_t volume = got[0];
    if (volume < 5000 || volume > 20000) {
      std::fprintf(stderr, "block %d: volume %lld\n", i, static_cast<long long>(volume));
      return false;
    }
    const int64_t owner = got[1] / (int64_t{kUnit} * volume / 10000) - 1;
    const int handle = static_cast<int>(owner / kDrivers);
    const int driver = static_cast<int>(owner % kDrivers);
    if (owner < 0 || handle >= kHandles || fake_ao_block_device(i) != device_of[handle]) {
      std::fprintf(stderr, "block %d: from handle %d, on device %d\n", i, handle,
                   fake_ao_block_device(i));
      return false;
    }
    const std::vector<int> &mine = drivers[handle][driver].queued;
    size_t &j = next[handle][driver];
    while (j < mine.size()) {
      std::vector<int64_t> want = block_values(handle, driver, mine[j]);
      for (int64_t &x : want) x = x * volume / 10000;
      if (want == got) break;
      ++j;
    }
    if (j == mine.size()) {
      std::fprintf(stderr, "block %d of handle %d, driver %d: unknown, repeated or out of order\n",
                   i, handle, driver);
      return false;
    }
    ++j;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  const int seconds = soak_seconds(argc, argv);
  Watchdog watchdog(20, seconds + 60);
  fake_ao_reset();
  fake_ao_pace(4000000);  // about 8000 blocks a second per device
  const int saved_stderr = silence_library_stderr(watchdog);

  ao_handle *handles[kHandles];
  int device_of[kHandles];
  for (int k = 0; k < kHandles; ++k) {
    const int opens = fake_ao_open_count();
    handles[k] = ao_create_async(32, 48000, 2, SANDREL_FMT_LITTLE, nullptr);
    if (!handles[k]) {
      std::printf("output soak: no handle %d\n", k);
      return 1;
    }
    device_of[k] = opens;  // every width opens: the first attempt made it
  }

  std::vector<std::vector<Driver>> drivers(kHandles, std::vector<Driver>(kDrivers));
  std::vector<Figures> figures(kHandles * kDrivers);
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < kHandles; ++k) {
    for (int d = 0; d < kDrivers; ++d) {
      threads.emplace_back([&, k, d] {
        ao_handle *h = handles[k];
        Driver &me = drivers[k][d];
        Figures &f = figures[k * kDrivers + d];
        std::mt19937 random(static_cast<unsigned>(k * 7919 + d * 104729 + 1));
        int seq = 0;
        while (!done.load(std::memory_order_relaxed)) {
          const unsigned pick = random() % 1000;
          if (pick < 450) {
            if (ao_bufsize_async(h) > 32 * 1024) {
              std::this_thread::sleep_for(std::chrono::microseconds(300));
              continue;
            }
            sandrel_test::play(h, k, seq * 0.01, 300.0, encode(block_values(k, d, seq), 32, true),
                               32);
            me.queued.push_back(seq++);
            ++f.plays;
          } else if (pick < 455) {
            ao_clear_async(h);
            ++f.clears;
          } else if (pick < 475) {
            ao_pause_async(h, static_cast<int>(random() % 2));
            ++f.pauses;
          } else if (pick < 575) {
            ao_set_volume_async(h, 50.0 + static_cast<double>(random() % 151));
            ++f.volumes;
          } else {
            (void)ao_is_at_second_async(h);
            (void)ao_is_at_music_id_async(h);
            (void)ao_music_duration_async(h);
            (void)ao_volume_async(h);
            (void)ao_bufsize_async(h);
            (void)ao_real_output_bits_async(h);
            ++f.queries;
          }
          ++f.operations;
          watchdog.progress();
          std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
        }
      });
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  done = true;
  for (auto &t : threads) t.join();
  const auto stop_start = std::chrono::steady_clock::now();
  for (ao_handle *h : handles) {
    ao_stop_async(h);
    watchdog.progress();
  }
  const auto end = std::chrono::steady_clock::now();

  Figures total;
  long queued = 0;
  for (const Figures &f : figures) {
    total.operations += f.operations;
    total.plays += f.plays;
    total.clears += f.clears;
    total.pauses += f.pauses;
    total.volumes += f.volumes;
    total.queries += f.queries;
  }
  for (const auto &per_handle : drivers) {
    for (const Driver &d : per_handle) queued += static_cast<long>(d.queued.size());
  }
  long played = 0;
  const bool devices_ok = check_devices(drivers, device_of, &played);
  const double run = std::chrono::duration<double>(stop_start - start).count();
  const double stopping = std::chrono::duration<double>(end - stop_start).count();
  std::printf(
      "output soak: %d handles x %d threads for %.1f s: %ld operations (%ld plays, %ld clears, "
      "%ld pauses, %ld volumes, %ld query rounds); %ld blocks queued, %ld played; "
      "the four stops took %.3f s\n",
      kHandles, kDrivers, run, total.operations, total.plays, total.clears, total.pauses,
      total.volumes, total.queries, queued, played, stopping);
  dup2(saved_stderr, 2);
  const bool ok = devices_ok && played > 0;
  std::printf("output soak: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
