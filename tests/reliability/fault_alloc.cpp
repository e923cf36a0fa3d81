// The allocator of fault_alloc.h. Every entry point forwards to the next
// definition in the lookup order, found with dlsym(RTLD_NEXT): the C
// library's in a plain build, the sanitizer runtime's under ASan or TSan,
// which then still sees, checks and leak-reports every block.
#include "fault_alloc.h"

#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <link.h>
#include <string.h>
#include <stddef.h>

#include <atomic>
#include <cstdint>
#include <new>

namespace {

typedef void *(*malloc_fn)(size_t);
typedef void *(*calloc_fn)(size_t, size_t);
typedef void *(*realloc_fn)(void *, size_t);
typedef void (*free_fn)(void *);
typedef int (*posix_memalign_fn)(void **, size_t, size_t);
typedef void *(*memalign_fn)(size_t, size_t);

struct next_allocator {
  malloc_fn malloc_;
  calloc_fn calloc_;
  realloc_fn realloc_;
  free_fn free_;
  posix_memalign_fn posix_memalign_;
  memalign_fn memalign_;
  memalign_fn aligned_alloc_;
};

// dlsym may allocate before it has found anything: those few requests
// come from here and are never given back.
alignas(64) unsigned char bootstrap[64 * 1024];
std::atomic<size_t> bootstrap_used{0};

bool in_bootstrap(const void *p) {
  const unsigned char *c = static_cast<const unsigned char *>(p);
  return c >= bootstrap && c < bootstrap + sizeof bootstrap;
}

void *bootstrap_alloc(size_t size) {
  const size_t rounded = (size + 63) & ~size_t{63};
  const size_t at = bootstrap_used.fetch_add(rounded);
  if (at + rounded > sizeof bootstrap) return nullptr;
  return bootstrap + at;
}

thread_local int resolving = 0;

}  // namespace

// Called at each failure: `break fault_injected` in gdb shows who asked.
extern "C" __attribute__((noinline, used)) void fault_injected() { __asm__ volatile(""); }

namespace {

// Resolved on first use, and again until that succeeds: under a sanitizer
// the first requests come while the loader is still resolving the
// runtime's own symbols, when dlsym finds nothing yet.
const next_allocator &next() {
  static next_allocator n{};
  static std::atomic<bool> ready{false};
  if (!ready.load(std::memory_order_acquire) && !resolving) {
    ++resolving;
    next_allocator a;
    a.malloc_ = reinterpret_cast<malloc_fn>(dlsym(RTLD_NEXT, "malloc"));
    a.calloc_ = reinterpret_cast<calloc_fn>(dlsym(RTLD_NEXT, "calloc"));
    a.realloc_ = reinterpret_cast<realloc_fn>(dlsym(RTLD_NEXT, "realloc"));
    a.free_ = reinterpret_cast<free_fn>(dlsym(RTLD_NEXT, "free"));
    a.posix_memalign_ = reinterpret_cast<posix_memalign_fn>(dlsym(RTLD_NEXT, "posix_memalign"));
    a.memalign_ = reinterpret_cast<memalign_fn>(dlsym(RTLD_NEXT, "memalign"));
    a.aligned_alloc_ = reinterpret_cast<memalign_fn>(dlsym(RTLD_NEXT, "aligned_alloc"));
    --resolving;
    if (a.malloc_ && a.calloc_ && a.realloc_ && a.free_ && a.posix_memalign_ && a.memalign_ &&
        a.aligned_alloc_) {
      n = a;
      ready.store(true, std::memory_order_release);
    }
  }
  return n;
}

// The countdown: plain thread-locals, so reading them allocates nothing.
thread_local long countdown_target = 0;  // 0: not armed
thread_local long countdown_count = 0;
thread_local bool countdown_fired = false;
thread_local void *failure_frames[16];
thread_local int failure_frame_count = 0;
std::atomic<int64_t> live{0};

void *counted(void *p) {
  if (p) live.fetch_add(1, std::memory_order_relaxed);
  return p;
}


// ---- Leak tracking ----------------------------------------------------------

struct slot {
  void *block;  // null: empty; kTomb: freed
  uint32_t seq;
};
void *const kTomb = reinterpret_cast<void *>(1);
constexpr size_t kSlots = size_t{1} << 18;
constexpr uint32_t kSites = uint32_t{1} << 19;
slot table[kSlots];
uintptr_t sites[kSites];  // by sequence number: where in the library
enum : unsigned char { kViaFFmpeg = 1, kViaFake = 2, kViaRuntime = 4 };
unsigned char via[kSites];  // by sequence number: what lay between it and malloc
std::atomic<bool> tracking{false};
thread_local bool tracking_thread = false;
std::atomic_flag table_lock = ATOMIC_FLAG_INIT;
uint32_t next_seq = 0;
int64_t failed_seq = -1;
uintptr_t owner_low = 0, owner_high = 0;

// Code of FFmpeg's libraries and of the fake libao.
struct code_range {
  uintptr_t low, high;
  unsigned char kind;
};
code_range others[16];
int other_count = 0;

struct table_guard {
  table_guard() {
    while (table_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~table_guard() { table_lock.clear(std::memory_order_release); }
};

size_t slot_of(const void *p) {
  return (reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull % kSlots;
}

// Call with the table lock held.
void table_insert(void *p, uint32_t seq) {
  for (size_t i = slot_of(p), tries = 0; tries < kSlots; i = (i + 1) % kSlots, ++tries) {
    if (table[i].block == nullptr || table[i].block == kTomb) {
      table[i].block = p;
      table[i].seq = seq;
      return;
    }
  }
}

// Call with the table lock held. -1 when p is not tracked.
int64_t table_erase(const void *p) {
  for (size_t i = slot_of(p), tries = 0; tries < kSlots; i = (i + 1) % kSlots, ++tries) {
    if (table[i].block == nullptr) return -1;
    if (table[i].block == p) {
      table[i].block = kTomb;
      return table[i].seq;
    }
  }
  return -1;
}

unsigned char kind_of(uintptr_t pc) {
  for (int i = 0; i < other_count; ++i) {
    if (pc >= others[i].low && pc < others[i].high) return others[i].kind;
  }
  return 0;
}

// The first frame inside the library under test, and what lay between.
uintptr_t site_here(unsigned char *passed) {
  void *frames[32];
  const int n = backtrace(frames, 32);
  *passed = 0;
  for (int i = 1; i < n; ++i) {
    const uintptr_t pc = reinterpret_cast<uintptr_t>(frames[i]);
    if (pc >= owner_low && pc < owner_high) return pc;
    *passed |= kind_of(pc);
  }
  return 0;
}

uint32_t note_allocation() {
  const uint32_t seq = next_seq++;
  unsigned char passed;
  const uintptr_t site = site_here(&passed);
  if (seq < kSites) {
    sites[seq] = site;
    via[seq] = passed;
  }
  return seq;
}

bool tracked_here() { return tracking.load(std::memory_order_relaxed) && tracking_thread; }

void *tracked(void *p) {
  if (p && tracked_here()) {
    const uint32_t seq = note_allocation();
    table_guard g;
    table_insert(p, seq);
  }
  return p;
}

void untrack(const void *p) {
  if (!tracking.load(std::memory_order_relaxed)) return;
  table_guard g;
  table_erase(p);
}

void retrack(const void *old_block, void *new_block) {
  if (!tracking.load(std::memory_order_relaxed)) return;
  table_guard g;
  const int64_t seq = table_erase(old_block);
  if (seq >= 0) table_insert(new_block, static_cast<uint32_t>(seq));
}

bool named(const char *base, const char *prefix) {
  return strncmp(base, prefix, strlen(prefix)) == 0;
}

int find_code(struct dl_phdr_info *info, size_t, void *data) {
  const char *name = info->dlpi_name;
  const char *base = name ? strrchr(name, '/') : nullptr;
  base = base ? base + 1 : name;
  if (base == nullptr) return 0;
  const char *owner = static_cast<const char *>(data);
  const bool is_owner = named(base, owner);
  const unsigned char kind = named(base, "libav") || named(base, "libsw") ? kViaFFmpeg
                             : named(base, "libfake_ao")                 ? kViaFake
                             : named(base, "libasan") || named(base, "libtsan") ||
                                     named(base, "libubsan")
                                 ? kViaRuntime
                                 : 0;
  if (!is_owner && kind == 0) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
    const uintptr_t low = info->dlpi_addr + ph.p_vaddr;
    if (is_owner) {
      owner_low = low;
      owner_high = low + ph.p_memsz;
    } else if (other_count < 16) {
      others[other_count++] = code_range{low, low + ph.p_memsz, kind};
    }
  }
  return 0;
}

// True when this allocation is the one to fail.
bool should_fail() {
  if (countdown_target == 0) return false;
  if (++countdown_count != countdown_target) return false;
  countdown_fired = true;
  failure_frame_count = backtrace(failure_frames, 16);
  if (tracked_here()) failed_seq = note_allocation();
  fault_injected();
  return true;
}

}  // namespace

namespace fault {

void arm(long n) {
  countdown_count = 0;
  countdown_fired = false;
  countdown_target = n;
}

bool disarm() {
  countdown_target = 0;
  return countdown_fired;
}

long counted() { return countdown_count; }

int64_t live_blocks() { return live.load(); }

int failure_site(void **frames, int capacity) {
  const int n = failure_frame_count < capacity ? failure_frame_count : capacity;
  for (int i = 0; i < n; ++i) frames[i] = failure_frames[i];
  return n;
}


void track_begin(const char *owner) {
  owner_low = owner_high = 0;
  other_count = 0;
  dl_iterate_phdr(find_code, const_cast<char *>(owner));
  {
    table_guard g;
    memset(table, 0, sizeof table);
  }
  next_seq = 0;
  failed_seq = -1;
  tracking_thread = true;
  tracking.store(true);
}

leaks track_end() {
  tracking.store(false);
  tracking_thread = false;
  leaks result;
  const uint32_t logged = next_seq < kSites ? next_seq : kSites;
  // The failed call into FFmpeg: the run of allocations from its place.
  int64_t call_first = -1, call_last = -1;
  if (failed_seq >= 0 && failed_seq < logged && sites[failed_seq] != 0) {
    call_first = call_last = failed_seq;
    while (call_first > 0 && sites[call_first - 1] == sites[failed_seq]) --call_first;
    while (call_last + 1 < logged && sites[call_last + 1] == sites[failed_seq]) ++call_last;
  }
  table_guard g;
  for (size_t i = 0; i < kSlots; ++i) {
    if (table[i].block == nullptr || table[i].block == kTomb) continue;
    const uint32_t seq = table[i].seq;
    const unsigned char passed = seq < logged ? via[seq] : 0;
    // The fake's own records; what a sanitizer's wrapper had the C library
    // keep (a new thread's TLS, cached with its stack).
    if (passed & (kViaFake | kViaRuntime)) continue;
    if ((passed & kViaFFmpeg) && call_first >= 0 && seq >= call_first && seq <= call_last) {
      ++result.ffmpegs;
    } else {
      ++result.ours;
      if (!result.first_site && seq < logged) result.first_site = reinterpret_cast<void *>(sites[seq]);
    }
  }
  return result;
}

namespace {

// backtrace() loads its unwinder, allocating, on first use: before main,
// not inside a failing malloc.
[[maybe_unused]] const int unwinder_loaded = [] {
  void *frame;
  return backtrace(&frame, 1);
}();

}  // namespace

}  // namespace fault

extern "C" {

void *malloc(size_t size) {
  if (resolving || !next().malloc_) return bootstrap_alloc(size);
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return tracked(counted(next().malloc_(size)));
}

void *calloc(size_t count, size_t size) {
  if (resolving || !next().calloc_) {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    return bootstrap_alloc(count * size);  // static storage: already zero
  }
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return tracked(counted(next().calloc_(count, size)));
}

void *realloc(void *p, size_t size) {
  if (p == nullptr) return malloc(size);
  if (in_bootstrap(p)) {
    // Early blocks are never freed; a grown one is copied as far as the
    // arena goes.
    void *q = malloc(size);
    const size_t room = static_cast<size_t>(bootstrap + sizeof bootstrap -
                                            static_cast<unsigned char *>(p));
    if (q) memcpy(q, p, size < room ? size : room);
    return q;
  }
  // A zero size frees and gives null; that is not an allocation.
  if (size != 0 && should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  void *q = next().realloc_(p, size);
  if (q == nullptr && size == 0) {
    live.fetch_sub(1, std::memory_order_relaxed);
    untrack(p);
  } else if (q != nullptr) {
    retrack(p, q);
  }
  return q;
}

void free(void *p) {
  if (p == nullptr || in_bootstrap(p)) return;
  live.fetch_sub(1, std::memory_order_relaxed);
  untrack(p);
  next().free_(p);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
  if (resolving || !next().posix_memalign_) {
    *out = alignment <= 64 ? bootstrap_alloc(size) : nullptr;
    return *out ? 0 : ENOMEM;
  }
  if (should_fail()) return ENOMEM;
  const int rc = next().posix_memalign_(out, alignment, size);
  if (rc == 0) tracked(counted(*out));
  return rc;
}

void *memalign(size_t alignment, size_t size) {
  if (resolving || !next().memalign_) return alignment <= 64 ? bootstrap_alloc(size) : nullptr;
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return tracked(counted(next().memalign_(alignment, size)));
}

void *aligned_alloc(size_t alignment, size_t size) {
  if (resolving || !next().aligned_alloc_) return alignment <= 64 ? bootstrap_alloc(size) : nullptr;
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return tracked(counted(next().aligned_alloc_(alignment, size)));
}

}  // extern "C"

#ifdef FAULT_ALLOC_UNDER_ASAN
// The loader's own blocks (the link maps of what backtrace() opened) pass
// through malloc above, so LeakSanitizer no longer sees that the loader
// made them; they live as long as the process.
extern "C" const char *__lsan_default_suppressions() { return "leak:_dl_map_object_deps\n"; }
#endif

// Sanitizer runtimes bring operator new of their own, which would bypass
// the countdown; these go through malloc above in every build.
void *operator new(size_t size) {
  void *p = malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return malloc(size ? size : 1); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
  return malloc(size ? size : 1);
}
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }
