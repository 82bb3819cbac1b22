#include "protocol/held_back_start.h"

#include <algorithm>
#include <cstring>

#include "blockdev/target_writer.h"
#include "support/file.h"

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

bool HeldBackStart::writeTo(File& target, blockdev::WriteLedger& ledger) const {
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
    if (!writeFully(target, static_cast<int64_t>(start), bytes_.data() + start, end - start)) {
      return false;
    }
    blockdev::runAfterWriteHook(target.descriptor(), static_cast<int64_t>(start), end - start);
    any = true;
    start = end;
  }
  return !any || target.Sync();
}

bool HoldingBackSink::writeAt(int64_t position, const char* data, size_t length) {
  const size_t held = held_.hold(position, data, length);
  if (held == length) {
    return true;
  }
  return rest_.writeAt(position + static_cast<int64_t>(held), data + held, length - held);
}
