#include "protocol/target_writer.h"

#include <fcntl.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "support/file.h"

namespace {

// One vectored call takes at most this many pieces.
constexpr size_t maxPieces = IOV_MAX;

// Writes all of `pieces` at `offset`, continuing short writes like
// writeFully; `pieces` is used up on the way.
bool writeVectorFully(int fd, int64_t offset, iovec* pieces, size_t count) {
  while (count > 0) {
    const ssize_t written = ::pwritev(fd, pieces, static_cast<int>(count), offset);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    offset += written;
    auto left = static_cast<size_t>(written);
    while (count > 0 && left >= pieces->iov_len) {
      left -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (count > 0) {
      pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
      pieces->iov_len -= left;
    }
  }
  return true;
}

}  // namespace

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
  pieces_.reserve(maxPieces);
}

bool CoalescingFileWriter::writeAt(int64_t position, const char* data, size_t length) {
  const bool adjacent = !pieces_.empty() && position == start_ + static_cast<int64_t>(gathered_);
  if (!adjacent || gathered_ + length > capacity_ || pieces_.size() == maxPieces) {
    if (!flush()) {
      return false;
    }
    start_ = position;
  }
  pieces_.push_back({const_cast<char*>(data), length});
  gathered_ += length;
  return true;
}

bool CoalescingFileWriter::flush() {
  if (pieces_.empty()) {
    return true;
  }
  const bool written = writeVectorFully(file_.descriptor(), start_, pieces_.data(), pieces_.size());
  // Started now, the writeback of this run goes on while the next ones
  // arrive, instead of all of it waiting for the sync at the end. Only a hint:
  // a failed writeback is still reported by that sync.
  if (written) {
    ::sync_file_range(file_.descriptor(), start_, static_cast<off_t>(gathered_), SYNC_FILE_RANGE_WRITE);
  }
  pieces_.clear();
  gathered_ = 0;
  return written;
}
