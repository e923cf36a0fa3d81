// The fake libao: see fake_ao.h.
#include "fake_ao.h"

#include <ao/ao.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

struct ao_device {
  int bits;
  int opened;  // the open attempt that made it, from 0
};

namespace {

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  unsigned long long accepted = ~0ull;
  int refusal_errno = AO_EOPENDEVICE;
  int fail_at = 0;
  long pace = 0;
  bool held = false;
  int released = 0;
  int play_calls = 0;
  int closes = 0;
  int initializes = 0;
  std::vector<fake_ao_open> opens;
  std::vector<std::vector<unsigned char>> blocks;
  std::vector<int> block_devices;  // per block: its device's open attempt
  std::vector<long long> play_began;  // per ao_play call
};

// Never destroyed: libsandrel's exit handler may call in after static
// destructors would have run.
State &state() {
  static State *s = new State;
  return *s;
}

ao_device *open_device(const fake_ao_open &attempt) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  // Out of memory (the fault-injection tests fail allocations here too),
  // libao opens nothing.
  try {
    s.opens.push_back(attempt);
  } catch (const std::bad_alloc &) {
    errno = AO_EFAIL;
    return nullptr;
  }
  const int bits = attempt.bits;
  if (bits < 0 || bits > 63 || !(s.accepted >> bits & 1u)) {
    errno = s.refusal_errno;
    return nullptr;
  }
  ao_device *device = new (std::nothrow) ao_device{bits, static_cast<int>(s.opens.size()) - 1};
  if (!device) errno = AO_EFAIL;
  return device;
}

fake_ao_open describe(int driver_id, ao_sample_format *format, ao_option *options) {
  fake_ao_open a;
  std::memset(&a, 0, sizeof a);
  a.bits = format->bits;
  a.rate = format->rate;
  a.channels = format->channels;
  a.byte_format = format->byte_format;
  a.matrix_null = format->matrix == nullptr;
  a.options_null = options == nullptr;
  a.driver_id = driver_id;
  return a;
}

}  // namespace

extern "C" {

void fake_ao_reset(void) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.accepted = ~0ull;
  s.refusal_errno = AO_EOPENDEVICE;
  s.fail_at = 0;
  s.pace = 0;
  s.held = false;
  s.released = 0;
  s.play_calls = 0;
  s.closes = 0;
  s.opens.clear();
  s.blocks.clear();
  s.block_devices.clear();
  s.play_began.clear();
  s.changed.notify_all();
}

void fake_ao_accept_widths(unsigned long long mask) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().accepted = mask;
}

void fake_ao_refusal_errno(int value) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().refusal_errno = value;
}

void fake_ao_fail_play(int n) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().fail_at = n;
}

void fake_ao_pace(long bytes_per_second) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().pace = bytes_per_second;
}

void fake_ao_hold(int on) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.held = on != 0;
  s.changed.notify_all();
}

void fake_ao_release_until(int n) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.released = n;
  s.changed.notify_all();
}

int fake_ao_wait_plays(int n, int timeout_ms) {
  State &s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return s.play_calls >= n; });
}

int fake_ao_play_calls(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().play_calls;
}

long long fake_ao_play_began_ns(int n) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (n < 1 || static_cast<size_t>(n) > s.play_began.size()) return -1;
  return s.play_began[static_cast<size_t>(n) - 1];
}

int fake_ao_open_count(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return static_cast<int>(state().opens.size());
}

int fake_ao_open_at(int i, struct fake_ao_open *out) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (i < 0 || static_cast<size_t>(i) >= s.opens.size()) return 0;
  *out = s.opens[static_cast<size_t>(i)];
  return 1;
}

int fake_ao_close_count(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().closes;
}

int fake_ao_initialize_count(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().initializes;
}

int fake_ao_block_count(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return static_cast<int>(state().blocks.size());
}

long fake_ao_block(int i, unsigned char *out, size_t capacity) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (i < 0 || static_cast<size_t>(i) >= s.blocks.size()) return -1;
  const std::vector<unsigned char> &b = s.blocks[static_cast<size_t>(i)];
  const size_t n = b.size() < capacity ? b.size() : capacity;
  if (out && n > 0) std::memcpy(out, b.data(), n);
  return static_cast<long>(b.size());
}

int fake_ao_block_device(int i) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (i < 0 || static_cast<size_t>(i) >= s.block_devices.size()) return -1;
  return s.block_devices[static_cast<size_t>(i)];
}

// ---- The libao calls ----------------------------------------------------------

void ao_initialize(void) {
  std::lock_guard<std::mutex> lock(state().mutex);
  ++state().initializes;
}

void ao_shutdown(void) {}

int ao_default_driver_id(void) { return FAKE_AO_LIVE_ID; }

int ao_driver_id(const char *short_name) {
  return short_name && std::strcmp(short_name, "wav") == 0 ? FAKE_AO_WAV_ID : -1;
}

ao_device *ao_open_live(int driver_id, ao_sample_format *format, ao_option *options) {
  fake_ao_open a = describe(driver_id, format, options);
  a.live = 1;
  return open_device(a);
}

ao_device *ao_open_file(int driver_id, const char *filename, int overwrite,
                        ao_sample_format *format, ao_option *options) {
  fake_ao_open a = describe(driver_id, format, options);
  a.overwrite = overwrite;
  if (filename) std::strncpy(a.filename, filename, sizeof a.filename - 1);
  return open_device(a);
}

int ao_play(ao_device *device, char *samples, uint_32 bytes) {
  if (!device) return 0;
  const long long began = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
  State &s = state();
  long pace;
  bool failed;
  int call;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    call = ++s.play_calls;
    s.play_began.push_back(began);
    failed = call == s.fail_at;
    if (!failed) {
      s.blocks.emplace_back(samples, samples + bytes);
      s.block_devices.push_back(device->opened);
    }
    pace = s.pace;
    s.changed.notify_all();
  }
  if (pace > 0) std::this_thread::sleep_for(std::chrono::microseconds(bytes * 1000000ll / pace));
  std::unique_lock<std::mutex> lock(s.mutex);
  s.changed.wait(lock, [&] { return !s.held || call <= s.released; });
  return failed ? 0 : 1;
}

int ao_close(ao_device *device) {
  if (!device) return 0;
  delete device;
  std::lock_guard<std::mutex> lock(state().mutex);
  ++state().closes;
  return 1;
}

}  // extern "C"
