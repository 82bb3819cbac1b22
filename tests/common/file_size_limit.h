#pragma once
// Limits the size of files this process may write, for as long as it lives:
// the write that crosses the limit comes back short and the next one fails
// (SIGXFSZ is ignored meanwhile), which is how tests make a target refuse
// writes part-way.
#include <sys/resource.h>

#include <csignal>
#include <cstdint>

class FileSizeLimit {
public:
  explicit FileSizeLimit(uint64_t bytes) : oldHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    set(bytes);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  // False when the limit could not be set.
  bool set(uint64_t bytes) {
    rlimit limited = old_;
    limited.rlim_cur = bytes;
    return ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
  }

private:
  rlimit old_{};
  void (*oldHandler_)(int);
};
