#include "control/durable_progress.h"

#include <algorithm>

DurableProgress durableDownloadProgress;

void DurableProgress::begin() {
  handed_ = 0;
  durable_ = 0;
  running_ = true;
}

void DurableProgress::update(int64_t handed, int64_t durable) {
  handed_ = handed;
  durable_ = durable;
}

void DurableProgress::end() { running_ = false; }

int DurableProgress::scale(int sent) const {
  if (!running_) {
    return sent;
  }
  const int64_t handed = handed_;
  const int64_t durable = std::min<int64_t>(durable_, handed);
  const int64_t scaled = handed > 0 ? static_cast<int64_t>(std::clamp(sent, 0, 100)) * durable / handed : 0;
  return static_cast<int>(std::min<int64_t>(scaled, 99));
}
