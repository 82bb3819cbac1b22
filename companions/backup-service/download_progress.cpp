#include "download_progress.h"

#include <algorithm>

DownloadProgress::Ticket DownloadProgress::start(int64_t total) {
  std::lock_guard<std::mutex> guard(lock_);
  const uint64_t serial = next_serial_++;
  running_.push_back({serial, total, 0});
  return Ticket(*this, serial);
}

std::string DownloadProgress::percentText() {
  std::lock_guard<std::mutex> guard(lock_);
  if (running_.empty()) {
    return "-1";
  }
  const Running& latest = running_.back();
  if (latest.total <= 0) {
    return "100";
  }
  const int64_t done = std::clamp<int64_t>(latest.done, 0, latest.total);
  return std::to_string(done * 100 / latest.total);
}

void DownloadProgress::update(uint64_t serial, int64_t done) {
  std::lock_guard<std::mutex> guard(lock_);
  for (Running& entry : running_) {
    if (entry.serial == serial) {
      entry.done = done;
    }
  }
}

void DownloadProgress::finish(uint64_t serial) {
  std::lock_guard<std::mutex> guard(lock_);
  running_.remove_if([&](const Running& entry) { return entry.serial == serial; });
}
