// The position and seek rules, checked over every fixture that opens (and
// over the files of MELVOR_CONFORMANCE_DIR, when it names a folder):
// - a full decode: every block starts where the one before it ended, unless
//   the file is known to lose audio, and then it jumps only forward;
// - a seek to T at or after the first sample: the blocks start at T, and the
//   samples from T to the end are the full decode's, as many and the same
//   (within the codec's floor where a seek cannot restore its state);
// - a seek before the first sample: the blocks of the open, exactly;
// - a seek past the end: 0, or nothing to decode.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "decoding.h"

namespace {

// Files that lose audio on purpose: noise in the middle, cut short, or
// streams joined end to end.
const char *const kDamaged[] = {"garbage.mp3", "truncated.mp3", "truncated.flac", "joined.mp3",
                                "joined.aac",  "index_lost.mkv"};

bool is_damaged(const std::string &name) {
  for (const char *d : kDamaged) {
    if (name == d) return true;
  }
  return false;
}

// Largest difference from the full decode allowed after a seek, by codec: 0
// where the decoder's state after a few packets depends on those packets
// alone. The others draw noise from generators that a seek cannot rewind
// (AAC's noise substitution, AC-3's dither of zero-bit mantissas), or
// settle slowly (Opus's and Speex's predictors, MP2's synthesis). Values are full scale
// (2^31) times 10^(-dB/20), measured over every sample from the target to
// the end.
int64_t floor_of(const std::string &codec) {
  static const std::map<std::string, double> floors_db = {
      {"aac", 45}, {"ac3", 55}, {"eac3", 55}, {"mp2", 85}, {"opus", 85}, {"speex", 85},
  };
  const auto it = floors_db.find(codec);
  if (it == floors_db.end()) return 0;
  return static_cast<int64_t>(2147483648.0 * std::pow(10.0, -it->second / 20.0));
}

std::string codec_of(const std::string &path) {
  AVFormatContext *context = nullptr;
  if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) return "?";
  std::string name = "?";
  if (avformat_find_stream_info(context, nullptr) >= 0) {
    const int index = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index >= 0) name = avcodec_get_name(context->streams[index]->codecpar->codec_id);
  }
  avformat_close_input(&context);
  return name;
}

int64_t target_of(int64_t ms, int rate) {
  return static_cast<int64_t>(std::fma(static_cast<double>(ms) / 1000.0, rate, 0.5));
}

double decibels(int64_t difference) {
  return difference == 0 ? -INFINITY : 20.0 * std::log10(difference / 2147483648.0);
}

// Counts blocks that do not start where the one before ended; fails on one
// that starts before it.
int count_jumps(const Decoded &d, int64_t position) {
  int jumps = 0;
  for (const Decoded::Block &b : d.blocks) {
    EXPECT_GE(b.start, position) << "a block starts before the one before it ended";
    if (b.start != position) ++jumps;
    position = b.start + b.samples;
  }
  return jumps;
}

struct Figures {
  int64_t worst_start_offset = 0;
  int64_t worst_count_difference = 0;
  int64_t worst_difference = 0;
  std::vector<double> costs_ms;  // the seek and its first block
};

// Seeks to ms on h and decodes to the end; checks the result against full.
void check_seek(fmpg_instance *h, const Decoded &full, int64_t ms, int64_t floor, bool damaged,
                Figures &figures) {
  SCOPED_TRACE(testing::Message() << "seek to " << ms << " ms");
  const int64_t target = target_of(ms, full.rate);
  const int64_t first = full.first_start();
  const int64_t end = full.blocks.back().start + full.blocks.back().samples;

  const auto started = std::chrono::steady_clock::now();
  const int sought = fmpg_seek_ms(h, ms);
  int decoded = 0;
  if (sought == 1) decoded = fmpg_decode_next(h);
  figures.costs_ms.push_back(
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
          .count());

  if (target >= end) {
    // Past the end: refused, or nothing to decode.
    if (sought == 1) {
      EXPECT_EQ(decoded, 0);
    }
    return;
  }
  ASSERT_EQ(sought, 1);
  ASSERT_EQ(decoded, 1);
  // The first block was decoded above; collect it, then the rest.
  Decoded rest;
  rest.rate = full.rate;
  rest.channels = full.channels;
  {
    const int64_t start = fmpg_buffer_start_sample(h);
    const int64_t samples = fmpg_buffer_samples(h);
    rest.blocks.push_back({start, samples, 0});
    const auto *values = reinterpret_cast<const int32_t *>(fmpg_buffer(h));
    rest.pcm.assign(values, values + samples * full.channels);
  }
  const Decoded tail = decode_rest(h);
  for (const Decoded::Block &b : tail.blocks) {
    rest.blocks.push_back({b.start, b.samples, rest.pcm.size() + b.offset});
  }
  rest.pcm.insert(rest.pcm.end(), tail.pcm.begin(), tail.pcm.end());

  int64_t expected_start = std::max(target, first);
  // Where the file lost the audio at the target, the audio after the loss.
  if (full.at(expected_start) == nullptr) {
    for (const Decoded::Block &b : full.blocks) {
      if (b.start > expected_start) {
        expected_start = b.start;
        break;
      }
    }
  }
  const int64_t start = rest.first_start();
  figures.worst_start_offset = std::max(figures.worst_start_offset, std::abs(start - expected_start));
  EXPECT_EQ(start, expected_start);
  const int jumps = count_jumps(rest, start);
  if (!damaged) {
    EXPECT_EQ(jumps, 0);
  }

  if (target < first) {
    // Exactly the open's blocks.
    EXPECT_EQ(rest.blocks.size(), full.blocks.size());
    EXPECT_TRUE(rest.pcm == full.pcm) << "not the blocks of the open";
    return;
  }
  // The full decode's samples from the target on.
  int64_t expected_count = 0;
  for (const Decoded::Block &b : full.blocks) {
    expected_count += std::max<int64_t>(0, b.start + b.samples - std::max(b.start, target));
  }
  const int64_t count_difference = rest.samples() - expected_count;
  figures.worst_count_difference =
      std::max(figures.worst_count_difference, std::abs(count_difference));
  EXPECT_EQ(count_difference, 0) << "samples from the target to the end";

  int64_t largest = 0;
  for (const Decoded::Block &b : rest.blocks) {
    for (int64_t i = 0; i < b.samples; ++i) {
      const int32_t *expected = full.at(b.start + i);
      if (expected == nullptr) continue;
      const int32_t *got = &rest.pcm[b.offset + static_cast<size_t>(i) * full.channels];
      largest = std::max(largest, largest_difference(got, expected, full.channels));
    }
  }
  figures.worst_difference = std::max(figures.worst_difference, largest);
  EXPECT_LE(largest, floor) << "largest difference " << largest << " (" << decibels(largest)
                            << " dB)";
}

std::vector<std::string> conformance_files() {
  std::vector<std::string> files;
  std::vector<std::string> folders = {MELVOR_FIXTURES};
  if (const char *extra = std::getenv("MELVOR_CONFORMANCE_DIR")) folders.emplace_back(extra);
  for (const std::string &folder : folders) {
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) continue;
    std::vector<std::string> names;
    while (const dirent *entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) files.push_back(folder + "/" + name);
  }
  return files;
}

std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

class Conformance : public ::testing::TestWithParam<std::string> {};

TEST_P(Conformance, PositionsAndSeeksFollowTheFullDecode) {
  const std::string path = GetParam();
  const std::string name = base_name(path);
  Instance probe(fmpg_init());
  ASSERT_NE(probe, nullptr);
  {
    StderrCapture quiet;
    if (fmpg_open_file(probe.get(), path.c_str()) != 1) GTEST_SKIP() << "does not open";
  }
  const bool damaged = is_damaged(name);
  const Decoded full = decode_rest(probe.get());
  if (full.blocks.empty()) GTEST_SKIP() << "nothing decodes";
  const int jumps = count_jumps(full, full.first_start());
  if (!damaged) {
    EXPECT_EQ(jumps, 0) << "blocks that do not start where the one before ended";
  }

  const std::string codec = codec_of(path);
  const int64_t floor = floor_of(codec);
  const int64_t first = full.first_start();
  const int64_t end = full.blocks.back().start + full.blocks.back().samples;
  const auto ms_of = [&](int64_t sample) { return sample * 1000 / full.rate; };
  const int64_t end_ms = ms_of(end);

  // Middle points, the start, before the first sample, the last block, the
  // last millisecond, past the end, and back.
  std::vector<int64_t> targets = {end_ms / 2 + 17, 0, end_ms * 9 / 10, end_ms / 10};
  if (first > 0) targets.push_back(ms_of(first) / 2);
  targets.push_back(ms_of(full.blocks.back().start + full.blocks.back().samples / 2));
  targets.push_back(ms_of(end - 1));
  targets.push_back(end_ms + 1000);
  targets.push_back(end_ms * 3 / 10 + 1);
  targets.push_back(0);

  Instance h = open_instance(path);
  ASSERT_NE(h, nullptr);
  Figures figures;
  for (int64_t ms : targets) check_seek(h.get(), full, ms, floor, damaged, figures);

  std::sort(figures.costs_ms.begin(), figures.costs_ms.end());
  std::printf("conformance %-22s %-8s jumps %d, start offset %lld, count difference %lld, "
              "difference %.1f dB, seek %.2f ms median, %.2f ms worst\n",
              name.c_str(), codec.c_str(), jumps,
              static_cast<long long>(figures.worst_start_offset),
              static_cast<long long>(figures.worst_count_difference),
              decibels(figures.worst_difference), figures.costs_ms[figures.costs_ms.size() / 2],
              figures.costs_ms.back());
}

INSTANTIATE_TEST_SUITE_P(Files, Conformance, ::testing::ValuesIn(conformance_files()),
                         [](const auto &info) { return test_name(base_name(info.param).c_str()); });

}  // namespace
