#include "blockdev/held_back_start.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "support/io.h"
#include "support/system_error.h"

namespace blockdev {

size_t HeldBackStart::hold(int64_t position, const char* data, size_t length) {
  if (position < 0 || position >= heldBytes) {
    return 0;
  }
  const auto start = static_cast<size_t>(position);
  const size_t count = std::min(length, static_cast<size_t>(heldBytes) - start);
  std::memcpy(bytes_.data() + start, data, count);
  std::fill_n(present_.begin() + static_cast<std::ptrdiff_t>(start), count, true);
  return count;
}

bool HeldBackStart::writeTo(int descriptor, const std::string& name, WriteLedger& ledger, std::string& error) const {
  bool any = false;
  for (size_t start = 0; start < present_.size();) {
    if (!present_[start]) {
      ++start;
      continue;
    }
    size_t end = start;
    while (end < present_.size() && present_[end]) {
      ++end;
    }
    ledger.record(static_cast<int64_t>(start), bytes_.data() + start, end - start);
    if (!pwriteFull(descriptor, bytes_.data() + start, end - start, static_cast<off_t>(start))) {
      error = systemError("writing the start of " + name + " failed at byte " + std::to_string(start));
      return false;
    }
    runAfterWriteHook(descriptor, static_cast<int64_t>(start), end - start);
    any = true;
    start = end;
  }
  if (any && ::fsync(descriptor) != 0) {
    error = systemError("flushing the start of " + name + " failed");
    return false;
  }
  return true;
}

bool HoldingBackSink::writeAt(int64_t position, const char* data, size_t length) {
  const size_t held = held_ != nullptr ? held_->hold(position, data, length) : 0;
  if (held == length) {
    return true;
  }
  return rest_.writeAt(position + static_cast<int64_t>(held), data + held, length - held);
}

}  // namespace blockdev
