#include "protocol/target_writer.h"

#include <algorithm>
#include <climits>

#include "support/file.h"

bool writeFully(File& file, int64_t offset, const char* data, size_t count) {
  size_t done = 0;
  while (done < count) {
    const auto piece = static_cast<unsigned int>(std::min<size_t>(count - done, UINT_MAX));
    bool failed = false;
    const unsigned int written = offset < 0
                                     ? file.Write(data + done, piece, &failed)
                                     : file.Write(offset + static_cast<int64_t>(done), data + done, piece, &failed);
    if (failed || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

CoalescingFileWriter::CoalescingFileWriter(File& file, size_t capacity) : file_(file), capacity_(capacity) {
  buffer_.reserve(capacity_);
}

bool CoalescingFileWriter::writeAt(int64_t position, const char* data, size_t length) {
  const bool adjacent = !buffer_.empty() && position == start_ + static_cast<int64_t>(buffer_.size());
  if (!adjacent || buffer_.size() + length > capacity_) {
    if (!flush()) {
      return false;
    }
    start_ = position;
  }
  if (length > capacity_) {
    return writeFully(file_, position, data, length);
  }
  buffer_.insert(buffer_.end(), data, data + length);
  return true;
}

bool CoalescingFileWriter::flush() {
  if (buffer_.empty()) {
    return true;
  }
  const bool written = writeFully(file_, start_, buffer_.data(), buffer_.size());
  buffer_.clear();
  return written;
}
