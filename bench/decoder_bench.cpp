// Decoder figures: throughput of fmpg_decode_next against a plain FFmpeg
// send/receive/swr_convert loop on the same 10-minute files, the output
// block's capacity changes and the process's memory, and the time of a
// seek plus the first block.
//
//   build/bin/decoder_bench [--data DIR] [--runs N] [--seeks N] [--only FORMAT]
//
// The 10-minute files (FLAC, MP3, AAC in MP4 and raw, Opus in Ogg and WebM,
// Vorbis) are made on the first run with Debian's ffmpeg into DIR (default:
// bench-data in the build tree) and reused afterwards. Timings alternate
// between the two loops and report medians. Nothing here asserts a timing.
#include <melvor.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <strings.h>
#include <vector>

#include "instance.h"
#include "plain_decode.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct Format {
  const char *name;
  const char *file;
  const char *encode;  // ffmpeg's codec options
  const char *muxer;
};

const Format kFormats[] = {
    {"FLAC", "bench.flac", "-c:a flac", "flac"},
    {"MP3", "bench.mp3", "-c:a libmp3lame -b:a 192k", "mp3"},
    {"AAC", "bench.m4a", "-c:a aac -b:a 160k", "ipod"},
    {"Opus", "bench.opus", "-c:a libopus -b:a 128k", "ogg"},
    {"Vorbis", "bench.ogg", "-c:a libvorbis -q:a 5", "ogg"},
    {"ADTS", "bench.aac", "-c:a aac -b:a 160k", "adts"},
    {"WebM", "bench.webm", "-c:a libopus -b:a 128k", "webm"},
};

// Two drifting tones and some noise, 10 minutes of stereo at 44.1 kHz.
const char *kSource =
    "aevalsrc=0.3*sin(2*PI*440*t)+0.2*sin(2*PI*(660+50*sin(t/3))*t)+0.05*(random(0)-0.5)"
    "|0.3*sin(2*PI*330*t)+0.2*sin(2*PI*(550+40*sin(t/5))*t)+0.05*(random(1)-0.5)"
    ":s=44100:d=600";

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

bool make_file(const std::string &dir, const Format &f) {
  const std::string path = dir + "/" + f.file;
  if (exists(path)) return true;
  std::printf("making %s (10 minutes) with ffmpeg...\n", path.c_str());
  std::fflush(stdout);
  // Written under another name first, so a cut run leaves no half file.
  const std::string part = path + ".part";
  const std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i \"" +
                              std::string(kSource) + "\" " + f.encode + " -f " + f.muxer + " '" +
                              part + "' && mv '" + part + "' '" + path + "'";
  return std::system(command.c_str()) == 0 && exists(path);
}

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

long peak_rss_kib() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct LibraryRun {
  double seconds = 0;
  int rate = 0;
  int64_t samples = 0;
  uint64_t checksum = 0;
  int blocks = 0;
  int capacity_changes = 0;
  int last_change_block = 0;
  size_t capacity = 0;
  long rss_after_first_blocks = 0;
  long rss_at_end = 0;
};

// The host's loop: decode block after block and touch the block as the
// plain loop touches its buffer.
LibraryRun run_library(const std::string &path) {
  LibraryRun run;
  const auto start = clock_type::now();
  fmpg_instance *h = fmpg_init();
  if (h == nullptr || fmpg_open_file(h, path.c_str()) != 1) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(1);
  }
  const int channels = fmpg_audio_channels(h);
  run.rate = fmpg_audio_sample_rate(h);
  size_t capacity = h->decoder.output.capacity();
  while (fmpg_decode_next(h) == 1) {
    const auto *values = reinterpret_cast<const int32_t *>(fmpg_buffer(h));
    const size_t count = static_cast<size_t>(fmpg_buffer_samples(h)) * channels;
    for (size_t i = 0; i < count; i += 97) run.checksum += static_cast<uint32_t>(values[i]);
    run.samples += fmpg_buffer_samples(h);
    ++run.blocks;
    if (h->decoder.output.capacity() != capacity) {
      capacity = h->decoder.output.capacity();
      ++run.capacity_changes;
      run.last_change_block = run.blocks;
    }
    if (run.blocks == 100) run.rss_after_first_blocks = rss_kib();
  }
  run.rss_at_end = rss_kib();
  run.capacity = capacity;
  fmpg_free(h);
  run.seconds = seconds_since(start);
  return run;
}

double run_plain(const std::string &path, int64_t *samples) {
  const auto start = clock_type::now();
  const plain::Result r = plain::decode(path.c_str(), false);
  const double seconds = seconds_since(start);
  if (!r.ok) {
    std::fprintf(stderr, "plain decode of %s failed\n", path.c_str());
    std::exit(1);
  }
  *samples = r.samples;
  return seconds;
}

// A fresh open, a seek to near the end and its first block: the most a
// seek reads before it can tell where it landed.
double run_far_seek(const std::string &path) {
  fmpg_instance *h = fmpg_init();
  if (h == nullptr || fmpg_open_file(h, path.c_str()) != 1) std::exit(1);
  const int64_t ms = fmpg_duration_ms(h) - 2000;
  const auto start = clock_type::now();
  if (fmpg_seek_ms(h, ms) != 1 || fmpg_decode_next(h) != 1) {
    std::fprintf(stderr, "seek to %lld ms failed in %s\n", static_cast<long long>(ms),
                 path.c_str());
  }
  const double seconds = seconds_since(start);
  fmpg_free(h);
  return seconds;
}

// Seeks to random targets, each followed by its first block.
std::vector<double> run_seeks(const std::string &path, int count) {
  std::vector<double> times;
  fmpg_instance *h = fmpg_init();
  if (h == nullptr || fmpg_open_file(h, path.c_str()) != 1) std::exit(1);
  const int64_t duration = fmpg_duration_ms(h);
  std::mt19937_64 random(20261210);
  std::uniform_int_distribution<int64_t> target(0, std::max<int64_t>(0, duration - 1000));
  for (int i = 0; i < count; ++i) {
    const int64_t ms = target(random);
    const auto start = clock_type::now();
    if (fmpg_seek_ms(h, ms) != 1 || fmpg_decode_next(h) != 1) {
      std::fprintf(stderr, "seek to %lld ms failed in %s\n", static_cast<long long>(ms),
                   path.c_str());
      continue;
    }
    times.push_back(seconds_since(start));
  }
  fmpg_free(h);
  return times;
}

}  // namespace

int main(int argc, char **argv) {
  std::string dir = MELVOR_BENCH_DATA;
  int runs = 5;
  int seeks = 200;
  const char *only = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
    if (std::strcmp(argv[i], "--data") == 0) dir = argv[i + 1];
    else if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    else if (std::strcmp(argv[i], "--seeks") == 0) seeks = std::max(1, std::atoi(argv[i + 1]));
  }
  std::system(("mkdir -p '" + dir + "'").c_str());
  for (const Format &f : kFormats) {
    if (!make_file(dir, f)) {
      std::fprintf(stderr, "cannot make %s/%s (is ffmpeg installed?)\n", dir.c_str(), f.file);
      return 1;
    }
  }
  // The open trace goes to stderr; keep the figures readable.
  if (std::freopen("/dev/null", "w", stderr) == nullptr) return 1;

  std::printf("\nDecode throughput, 10-minute files, median of %d runs each\n", runs);
  std::printf("%-6s %12s %12s %9s %10s\n", "", "plain loop", "libmelvor", "ratio", "realtime");
  for (const Format &f : kFormats) {
    if (only != nullptr && strcasecmp(only, f.name) != 0) continue;
    const std::string path = dir + "/" + f.file;
    std::vector<double> plain_times, library_times;
    int64_t plain_samples = 0;
    LibraryRun last;
    for (int r = 0; r < runs; ++r) {
      plain_times.push_back(run_plain(path, &plain_samples));
      last = run_library(path);
      library_times.push_back(last.seconds);
    }
    const double p = median(plain_times), l = median(library_times);
    std::printf("%-6s %11.3fs %11.3fs %+8.1f%% %9.0fx\n", f.name, p, l, (l / p - 1.0) * 100.0,
                static_cast<double>(last.samples) / last.rate / l);
    if (plain_samples != last.samples) {
      std::printf("      (samples differ: plain %lld, libmelvor %lld)\n",
                  static_cast<long long>(plain_samples), static_cast<long long>(last.samples));
    }
  }

  std::printf("\nOutput block and memory, one decode of each file\n");
  std::printf("%-6s %7s %16s %11s %19s %18s\n", "", "blocks", "capacity changes",
              "last at", "capacity (bytes)", "RSS 100th/last");
  for (const Format &f : kFormats) {
    if (only != nullptr && strcasecmp(only, f.name) != 0) continue;
    const LibraryRun run = run_library(dir + "/" + f.file);
    std::printf("%-6s %7d %16d %8s%3d %19zu %11ld/%ld KiB\n", f.name, run.blocks,
                run.capacity_changes, "block", run.last_change_block, run.capacity,
                run.rss_after_first_blocks, run.rss_at_end);
  }
  std::printf("peak RSS of the whole run: %ld KiB\n", peak_rss_kib());

  std::printf("\nSeek plus first block: %d random targets in one instance (the first one\n"
              "learns the stream), and a fresh open's first seek to 2 s before the end\n",
              seeks);
  std::printf("%-6s %10s %10s %10s %12s\n", "", "median", "90th", "max", "fresh, far");
  for (const Format &f : kFormats) {
    if (only != nullptr && strcasecmp(only, f.name) != 0) continue;
    const std::vector<double> t = run_seeks(dir + "/" + f.file, seeks);
    if (t.empty()) continue;
    std::vector<double> far;
    for (int r = 0; r < 5; ++r) far.push_back(run_far_seek(dir + "/" + f.file));
    std::printf("%-6s %8.2fms %8.2fms %8.2fms %10.2fms\n", f.name, median(t) * 1e3,
                percentile(t, 0.9) * 1e3, *std::max_element(t.begin(), t.end()) * 1e3,
                median(far) * 1e3);
  }
  return 0;
}
