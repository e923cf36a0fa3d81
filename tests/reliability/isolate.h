// Runs one fault-injection step in a child process, so that a crash ends
// only that step and can be told apart: a fault inside FFmpeg's own code
// (FFmpeg does not survive every failed allocation) from one anywhere else.
// The step's gtest checks run in the child and print there; the parent
// learns the outcome from the exit status. The child tracks every block the
// step allocates (fault_alloc.h): what is left at its end leaked, and only
// what FFmpeg lost inside the call whose allocation failed is FFmpeg's.
#ifndef MELVOR_TESTS_ISOLATE_H
#define MELVOR_TESTS_ISOLATE_H

#include <dlfcn.h>
#include <execinfo.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>

#include "fault_alloc.h"

namespace isolate {

enum class outcome {
  fired,        // the allocation failed, every check held
  ffmpeg_leak,  // so, but FFmpeg lost blocks in the call that failed
  not_reached,  // the step made fewer allocations: the end of the count
  failed,       // a check failed (printed by the child)
  leaked,       // blocks the library answers for were left allocated
  ffmpeg_crash, // the process faulted inside FFmpeg's libraries
  ffmpeg_hang,  // it was still inside FFmpeg after kStepSeconds
  crashed,      // it died anywhere else, or hung outside FFmpeg
};

// A step takes well under a second; one still running after this hangs.
const unsigned kStepSeconds = 10;

struct result {
  outcome what;
  std::string detail;  // for the crashes: where, and which allocation failed
};

namespace detail {

inline int &report_fd() {
  static int fd = -1;
  return fd;
}

inline bool in_ffmpeg(const void *pc) {
  Dl_info info;
  if (dladdr(pc, &info) == 0 || info.dli_fname == nullptr) return false;
  const char *base = std::strrchr(info.dli_fname, '/');
  base = base ? base + 1 : info.dli_fname;
  return std::strncmp(base, "libav", 5) == 0 || std::strncmp(base, "libsw", 5) == 0;
}

// "lib.so+0x1234 (symbol)", without allocating.
inline void describe(const void *pc, char *out, size_t size) {
  Dl_info info;
  if (dladdr(pc, &info) == 0 || info.dli_fname == nullptr) {
    std::snprintf(out, size, "%p", pc);
    return;
  }
  const char *base = std::strrchr(info.dli_fname, '/');
  base = base ? base + 1 : info.dli_fname;
  const unsigned long offset = static_cast<unsigned long>(
      static_cast<const char *>(pc) - static_cast<const char *>(info.dli_fbase));
  std::snprintf(out, size, "%s+0x%lx%s%s%s", base, offset, info.dli_sname ? " (" : "",
                info.dli_sname ? info.dli_sname : "", info.dli_sname ? ")" : "");
}

inline bool in_libc(const void *pc) {
  Dl_info info;
  return dladdr(pc, &info) != 0 && info.dli_fname != nullptr &&
         std::strstr(info.dli_fname, "/libc.so") != nullptr;
}

// The faulting code, or for a fault inside the C library (memcpy, say) the
// code that called it.
inline const void *culprit(const void *pc) {
  if (!in_libc(pc)) return pc;
  void *frames[64];
  const int n = backtrace(frames, 64);
  int i = 0;
  while (i < n && frames[i] != pc) ++i;
  while (i < n && in_libc(frames[i])) ++i;
  return i < n ? frames[i] : pc;
}

// The faulting instruction; after a call through a stale pointer, which
// lands outside any code, the call's return address.
inline const void *fault_pc(const ucontext_t *uc) {
  const void *pc = reinterpret_cast<const void *>(uc->uc_mcontext.gregs[REG_RIP]);
  Dl_info info;
  if (dladdr(pc, &info) != 0) return pc;
  return *reinterpret_cast<void *const *>(uc->uc_mcontext.gregs[REG_RSP]);
}

inline void on_fault(int sig, siginfo_t *, void *context) {
  const ucontext_t *uc = static_cast<const ucontext_t *>(context);
  const void *pc = culprit(fault_pc(uc));
  if (sig == SIGALRM) {
    char line[512];
    describe(pc, line, sizeof line);
    std::string text = std::string("hung at ") + line;
    if (write(report_fd(), text.data(), text.size()) < 0) {
    }
    _exit(in_ffmpeg(pc) ? 78 : 79);
  }
  if (in_ffmpeg(pc)) {
    char line[512];
    describe(pc, line, sizeof line);
    std::string text = std::string("signal ") + std::to_string(sig) + " at " + line +
                       "; the failed allocation:";
    void *frames[16];
    const int count = fault::failure_site(frames, 16);
    // From the allocator's caller on.
    for (int i = 2; i < count; ++i) {
      describe(frames[i], line, sizeof line);
      text += "\n    ";
      text += line;
    }
    if (write(report_fd(), text.data(), text.size()) < 0) {
    }
    _exit(77);
  }
  char line[512];
  describe(pc, line, sizeof line);
  const std::string text = std::string("at ") + line;
  if (write(report_fd(), text.data(), text.size()) < 0) {
  }
  signal(sig, SIG_DFL);  // returns to the fault, which now ends the child
}

}  // namespace detail

// Runs step() in a child; step returns fault::disarm()'s answer. `owner`
// names the library under test (the start of its file name).
template <typename Step>
result run(const char *owner, Step step) {
  int fds[2];
  if (pipe(fds) != 0) return {outcome::crashed, "no pipe"};
  std::fflush(nullptr);
  const ::testing::TestResult *checks =
      ::testing::UnitTest::GetInstance()->current_test_info()->result();
  const int checks_before = checks->total_part_count();
  const pid_t pid = fork();
  if (pid < 0) return {outcome::crashed, "no fork"};
  if (pid == 0) {
    close(fds[0]);
    detail::report_fd() = fds[1];
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = detail::on_fault;
    sa.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &sa, nullptr);
    for (int sig : {SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGALRM}) sigaction(sig, &sa, nullptr);
    alarm(kStepSeconds);
    fault::track_begin(owner);
    bool fired = false;
    try {
      fired = step();
    } catch (const std::exception &e) {
      std::printf("an exception crossed the call: %s\n", e.what());
      std::fflush(nullptr);
      _exit(5);
    }
    fault::disarm();
    const fault::leaks left = fault::track_end();
    int code = fired ? (left.ffmpegs > 0 ? 4 : 0) : 1;
    if (left.ours > 0) {
      char where[512];
      detail::describe(left.first_site, where, sizeof where);
      std::printf("%ld blocks left allocated, one of them by %s\n", left.ours, where);
      code = 3;
    }
    if (checks->total_part_count() > checks_before) code = 2;
    std::fflush(nullptr);
    _exit(code);
  }
  close(fds[1]);
  std::string text;
  char buf[1024];
  ssize_t got;
  while ((got = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(got));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) {
    switch (WEXITSTATUS(status)) {
      case 0: return {outcome::fired, ""};
      case 1: return {outcome::not_reached, ""};
      case 2: return {outcome::failed, ""};
      case 3: return {outcome::leaked, ""};
      case 4: return {outcome::ffmpeg_leak, ""};
      case 5: return {outcome::failed, "an exception crossed the call"};
      case 77: return {outcome::ffmpeg_crash, text};
      case 78: return {outcome::ffmpeg_hang, text};
      case 79: return {outcome::crashed, text};
      default: break;
    }
    return {outcome::crashed, "exit status " + std::to_string(WEXITSTATUS(status))};
  }
  return {outcome::crashed, "signal " + std::to_string(WTERMSIG(status)) + " " + text};
}

// The count of fault_alloc.h, one child per n: step(n) arms at n around
// the call under test and returns fault::disarm(). Goes on past crashes
// inside FFmpeg, which it tallies by place; stops at the first n the call
// no longer reaches, or at the first failure, which it reports.
struct tally {
  long fired = 0;           // steps with a failed allocation, ffmpeg_* included
  long ffmpeg_crashes = 0;  // hangs included
  long ffmpeg_leaks = 0;
  std::map<std::string, int> crash_sites;

  void add(const tally &other) {
    fired += other.fired;
    ffmpeg_crashes += other.ffmpeg_crashes;
    ffmpeg_leaks += other.ffmpeg_leaks;
    for (const auto &site : other.crash_sites) crash_sites[site.first] += site.second;
  }
};

//
// MELVOR_FAULT_STEP=n in the environment runs only step n, in the test's
// own process, for a debugger; MELVOR_FAULT_FROM=n starts the count at n.
template <typename Step>
tally each_allocation(const char *owner, Step step, long limit = 100000) {
  tally t;
  if (const char *only = std::getenv("MELVOR_FAULT_STEP")) {
    t.fired = step(std::atol(only)) ? 1 : 0;
    fault::disarm();
    return t;
  }
  const char *from = std::getenv("MELVOR_FAULT_FROM");
  for (long n = from ? std::atol(from) : 1; n <= limit; ++n) {
    const result r = run(owner, [&] { return step(n); });
    switch (r.what) {
      case outcome::fired:
        ++t.fired;
        continue;
      case outcome::ffmpeg_leak:
        ++t.fired;
        ++t.ffmpeg_leaks;
        continue;
      case outcome::ffmpeg_hang:
      case outcome::ffmpeg_crash:
        ++t.fired;
        ++t.ffmpeg_crashes;
        ++t.crash_sites[r.detail];
        continue;
      case outcome::not_reached:
        return t;
      case outcome::failed:
        ADD_FAILURE() << "allocation " << n << ": checks failed (above) " << r.detail;
        return t;
      case outcome::leaked:
        ADD_FAILURE() << "allocation " << n << ": leaked (above)";
        return t;
      case outcome::crashed:
        ADD_FAILURE() << "allocation " << n << ": crashed, " << r.detail;
        return t;
    }
  }
  ADD_FAILURE() << "no end after " << limit << " allocations";
  return t;
}

// Prints the count, and what FFmpeg's own code did not survive.
inline void print_tally(const char *what, const tally &t) {
  std::printf("%s: %ld failed allocations; FFmpeg leaked in %ld and crashed or hung in %ld\n",
              what, t.fired, t.ffmpeg_leaks, t.ffmpeg_crashes);
  for (const auto &site : t.crash_sites) std::printf("  %dx %s\n", site.second, site.first.c_str());
}

}  // namespace isolate

#endif
