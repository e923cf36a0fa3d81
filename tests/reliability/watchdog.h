// A hang watchdog for the soak programs: the program calls progress() as
// it goes; when nothing moved for `stall_seconds`, or the whole run went
// past `limit_seconds`, the watchdog prints every thread's stack (gdb,
// attached to the process) and aborts, so that a deadlock shows where each
// thread waits.
#ifndef MELVOR_TESTS_WATCHDOG_H
#define MELVOR_TESTS_WATCHDOG_H

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#endif

class Watchdog {
 public:
  Watchdog(int stall_seconds, int limit_seconds)
      : stall_(stall_seconds), limit_(limit_seconds), thread_([this] { watch(); }) {}
  Watchdog(const Watchdog &) = delete;
  Watchdog &operator=(const Watchdog &) = delete;
  ~Watchdog() {
    done_ = true;
    thread_.join();
  }

  void progress() { ticks_.fetch_add(1, std::memory_order_relaxed); }
  // Where the report goes (the program may point fd 2 elsewhere).
  void report_to(int fd) { fd_ = fd; }

 private:
  void watch() {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto last_move = start;
    long seen = -1;
    while (!done_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const long now_ticks = ticks_.load(std::memory_order_relaxed);
      const auto now = Clock::now();
      if (now_ticks != seen) {
        seen = now_ticks;
        last_move = now;
      }
      const bool stalled = now - last_move > std::chrono::seconds(stall_);
      const bool overdue = now - start > std::chrono::seconds(limit_);
      if (stalled || overdue) {
        dprintf(fd_, "watchdog: %s; the stacks of every thread:\n",
                stalled ? "no progress" : "past the time limit");
        dump_stacks(fd_);
        std::abort();
      }
    }
  }

  static void dump_stacks(int fd) {
    std::fflush(nullptr);
    // Let gdb attach where ptrace is limited to descendants.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const std::string pid = std::to_string(getpid());
    const pid_t child = fork();
    if (child == 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      execlp("gdb", "gdb", "-batch", "-nx", "-p", pid.c_str(), "-ex", "thread apply all bt",
             static_cast<char *>(nullptr));
      std::fprintf(stderr, "watchdog: no gdb to show the stacks\n");
      _exit(127);
    }
    if (child > 0) waitpid(child, nullptr, 0);
  }

  const int stall_;
  const int limit_;
  std::atomic<int> fd_{2};
  std::atomic<long> ticks_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The soak's length: --seconds N, else a minute.
inline int soak_seconds(int argc, char **argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--seconds") return std::atoi(argv[i + 1]);
  }
  return 60;
}

// The libraries' messages (clears, stops, open traces) by the thousand
// are not wanted: fd 2 goes to /dev/null, while the sanitizers' reports and
// the watchdog's go to the original stderr, whose copy is returned.
inline int silence_library_stderr(Watchdog &watchdog) {
  const int saved = dup(2);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(saved)));
#endif
  watchdog.report_to(saved);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 2);
  close(null_fd);
  return saved;
}

#endif
