// Captures what the code under test writes to file descriptor 2.
#ifndef MELVOR_TESTS_STDERR_CAPTURE_H
#define MELVOR_TESTS_STDERR_CAPTURE_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    char path[] = "/tmp/melvor-stderr-XXXXXX";
    fd_ = mkstemp(path);
    if (fd_ < 0) std::abort();
    unlink(path);
    saved_ = dup(2);
    dup2(fd_, 2);
  }
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;
  ~StderrCapture() { restore(); }

  // Stops capturing (once) and returns everything written meanwhile.
  std::string text() {
    restore();
    return text_;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
    lseek(fd_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0) text_.append(buf, static_cast<size_t>(n));
    close(fd_);
  }

  int fd_ = -1;
  int saved_ = -1;
  std::string text_;
};

inline std::string fixture(const char *name) { return std::string(MELVOR_FIXTURES "/") + name; }

#endif
