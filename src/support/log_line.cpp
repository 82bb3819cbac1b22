#include "support/log_line.h"

#include <iostream>
#include <mutex>

void logLine(const std::string& line) {
  static std::mutex mutex;
  const std::string text = line + '\n';
  const std::lock_guard lock(mutex);
  std::cout << text << std::flush;
}
