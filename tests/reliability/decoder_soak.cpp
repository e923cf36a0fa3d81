// Decoder soak: eight instances on eight threads, each opening, decoding and
// seeking its own file over and over for a given time. Separate instances
// share nothing but the two version texts (read under one lock, as a host
// must), so under ThreadSanitizer there is no race, under AddressSanitizer no memory error, and every pass gives
// exactly what the same calls gave on one thread beforehand. A watchdog
// prints every thread's stack on a hang.
//
// decoder_soak [--seconds N]   (default 60)
#include <melvor.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "watchdog.h"

namespace {

const char *const kFiles[] = {"tone.flac", "tone.mp3",      "tone.ogg", "tone.opus",
                              "tone.m4a",  "tone_alac.m4a", "av.mkv",   "tone.wv"};
const int kThreads = 8;

struct Counts {
  long opens = 0, blocks = 0, seeks = 0;
};

uint64_t mix(uint64_t h, uint64_t v) { return (h ^ v) * 0x100000001B3ull; }

// One pass over a file: open, decode it whole, then seek to each target
// and decode a few blocks; a checksum of every block's position and bytes.
uint64_t pass(fmpg_instance *h, const std::string &path, const std::vector<int64_t> &targets,
              Counts &counts, Watchdog &watchdog) {
  uint64_t sum = 0xcbf29ce484222325ull;
  if (fmpg_open_file(h, path.c_str()) != 1) return 0;
  ++counts.opens;
  auto take_block = [&] {
    sum = mix(sum, static_cast<uint64_t>(fmpg_buffer_start_sample(h)));
    const uint8_t *bytes = fmpg_buffer(h);
    for (int i = 0, n = fmpg_buffer_size(h); i < n; i += 61) sum = mix(sum, bytes[i]);
    ++counts.blocks;
    watchdog.progress();
  };
  while (fmpg_decode_next(h) == 1) take_block();
  for (int64_t ms : targets) {
    sum = mix(sum, static_cast<uint64_t>(fmpg_seek_ms(h, ms)));
    ++counts.seeks;
    for (int b = 0; b < 3 && fmpg_decode_next(h) == 1; ++b) take_block();
  }
  // The shared texts: called, not compared (another thread may rewrite them).
  (void)fmpg_file_title(h);
  fmpg_close(h);
  return sum;
}

}  // namespace

int main(int argc, char **argv) {
  const int seconds = soak_seconds(argc, argv);
  Watchdog watchdog(30, seconds + 120);
  const int saved_stderr = silence_library_stderr(watchdog);
  std::vector<std::string> paths;
  std::vector<std::vector<int64_t>> targets(kThreads);
  std::vector<uint64_t> reference(kThreads);
  Counts alone;
  for (int t = 0; t < kThreads; ++t) {
    paths.push_back(std::string(MELVOR_FIXTURES "/") + kFiles[t]);
    std::mt19937 random(static_cast<unsigned>(t + 1));
    for (int k = 0; k < 6; ++k) targets[t].push_back(static_cast<int64_t>(random() % 2600));
    fmpg_instance *h = fmpg_init();
    reference[t] = pass(h, paths[t], targets[t], alone, watchdog);
    fmpg_free(h);
    if (reference[t] == 0) {
      std::printf("decoder soak: cannot open %s\n", paths[t].c_str());
      return 1;
    }
  }

  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::mutex version_texts;
  std::vector<Counts> counts(kThreads);
  std::vector<long> passes(kThreads, 0);
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      fmpg_instance *h = fmpg_init();
      while (!done.load(std::memory_order_relaxed)) {
        if (pass(h, paths[t], targets[t], counts[t], watchdog) != reference[t]) {
          std::printf("decoder soak: %s decoded differently on its thread\n", kFiles[t]);
          ++mismatches;
        }
        ++passes[t];
        {
          // The two version texts are the only state instances share; a
          // host serialises the calls of each, as here.
          std::lock_guard<std::mutex> lock(version_texts);
          const std::string texts =
              std::string(fmpg_int_version2string(fmpg_version())) + fmpg_ffmpeg_version();
          if (texts.compare(0, 5, "1.0.0") != 0) ++mismatches;
        }
      }
      fmpg_free(h);
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  done = true;
  for (auto &t : threads) t.join();
  const double run =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  Counts total;
  long all_passes = 0;
  for (int t = 0; t < kThreads; ++t) {
    total.opens += counts[t].opens;
    total.blocks += counts[t].blocks;
    total.seeks += counts[t].seeks;
    all_passes += passes[t];
  }
  std::printf(
      "decoder soak: %d threads for %.1f s: %ld passes, %ld opens, %ld blocks decoded, %ld "
      "seeks; %d passes differed from the single-threaded run\n",
      kThreads, run, all_passes, total.opens, total.blocks, total.seeks, mismatches.load());
  // Each thread must have made whole passes of its own: a thread that
  // stalled while the others ran would hide in the total.
  long fewest = passes[0];
  for (int t = 0; t < kThreads; ++t) {
    std::printf("  thread %d, %s: %ld passes, %ld blocks, %ld seeks\n", t, kFiles[t], passes[t],
                counts[t].blocks, counts[t].seeks);
    fewest = std::min(fewest, passes[t]);
  }
  dup2(saved_stderr, 2);
  const bool ok = mismatches.load() == 0 && fewest >= 1;
  std::printf("decoder soak: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
