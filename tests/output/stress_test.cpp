// Several host threads on one handle at random, against a paced fake
// device: nothing deadlocks or races (ThreadSanitizer), every block is freed
// once (AddressSanitizer), and what reaches the device is, per producer, a
// subsequence of what it queued, scaled by some volume.
#include <gtest/gtest.h>
#include <sandrel.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_ao.h"
#include "output_test_util.h"
#include "stderr_capture.h"

namespace {

using sandrel_test::Bytes;
using sandrel_test::decode;
using sandrel_test::encode;

const int kThreads = 4;
const int kSamples = 256;   // per block, 32-bit
const int kMarker = 10000;  // first sample: scales to the volume itself
const int kProducerUnit = 1000000;

// Sample 0 is kMarker, sample 1 names the producer, the rest vary by block.
std::vector<int64_t> block_values(int producer, int seq) {
  std::vector<int64_t> v = {kMarker, int64_t{producer} * kProducerUnit};
  for (int i = 2; i < kSamples; ++i) v.push_back((seq * 131 + i * 7) % 200000 - 100000);
  return v;
}

std::vector<int64_t> scale(const std::vector<int64_t> &values, int64_t volume) {
  std::vector<int64_t> out;
  for (int64_t x : values) out.push_back(x * volume / 10000);
  return out;
}

TEST(Stress, RandomCallsFromSeveralThreadsThenStop) {
  fake_ao_reset();
  fake_ao_pace(2000000);  // about 2000 blocks a second
  StderrCapture quiet;
  ao_handle *h = ao_create_async(32, 48000, 2, SANDREL_FMT_LITTLE, nullptr);
  ASSERT_NE(h, nullptr);

  std::vector<std::vector<int>> queued(kThreads);  // sequence numbers, in order
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int p = 0; p < kThreads; ++p) {
    threads.emplace_back([&, p] {
      std::mt19937 random(static_cast<unsigned>(p) * 7919u + 1u);
      int seq = 0;
      while (!done.load()) {
        const unsigned pick = random() % 1000;
        if (pick < 500) {
          if (ao_bufsize_async(h) > 64 * 1024) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
          }
          const Bytes b = encode(block_values(p, seq), 32, true);
          sandrel_test::play(h, p, seq * 0.01, 100.0, b, 32);
          queued[static_cast<size_t>(p)].push_back(seq++);
        } else if (pick < 505) {
          ao_clear_async(h);
        } else if (pick < 525) {
          ao_pause_async(h, static_cast<int>(random() % 2));
        } else if (pick < 625) {
          ao_set_volume_async(h, 50.0 + static_cast<double>(random() % 151));
        } else {
          (void)ao_is_at_second_async(h);
          (void)ao_is_at_music_id_async(h);
          (void)ao_music_duration_async(h);
          (void)ao_volume_async(h);
          (void)ao_real_output_bits_async(h);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 100));
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  done = true;
  for (auto &t : threads) t.join();
  ao_stop_async(h);
  quiet.text();

  // Each device block names its volume in sample 0 and its producer in
  // sample 1; it must match a block that producer queued after the one
  // matched before.
  const int blocks = fake_ao_block_count();
  EXPECT_GT(blocks, 50);
  std::vector<size_t> next(kThreads, 0);
  for (int i = 0; i < blocks; ++i) {
    Bytes b(static_cast<size_t>(fake_ao_block(i, nullptr, 0)));
    fake_ao_block(i, b.data(), b.size());
    const std::vector<int64_t> got = decode(b, 32, true);
    ASSERT_EQ(got.size(), static_cast<size_t>(kSamples)) << "block " << i;
    const int64_t volume = got[0];
    ASSERT_TRUE(volume >= 5000 && volume <= 20000) << "block " << i;
    const int64_t p = got[1] / (int64_t{kProducerUnit} * volume / 10000);
    ASSERT_TRUE(p >= 0 && p < kThreads) << "block " << i;
    const std::vector<int> &mine = queued[static_cast<size_t>(p)];
    size_t &j = next[static_cast<size_t>(p)];
    while (j < mine.size() && scale(block_values(static_cast<int>(p), mine[j]), volume) != got) ++j;
    ASSERT_LT(j, mine.size()) << "block " << i << " of producer " << p
                              << " out of order or unknown";
    ++j;
  }
}

}  // namespace
