#include "blockdev/direct_target.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

DirectTarget::DirectTarget(int descriptor, size_t capacity) : capacity_(capacity) {
  if (capacity_ < alignment || capacity_ % alignment != 0) {
    return;
  }
  descriptor_ = reopenDescriptor(descriptor, O_WRONLY | O_DIRECT);
}

bool DirectTarget::takes(int64_t position, size_t length) const {
  return usable() && position >= 0 && static_cast<uint64_t>(position) % alignment == 0 && length > 0 &&
         length % alignment == 0 && length <= capacity_;
}

size_t DirectTarget::write(int64_t position, const char* aligned, size_t length) {
  size_t done = 0;
  // A short direct write leaves the rest unaligned; it is the caller's then.
  while (done < length && done % alignment == 0) {
    const auto at = static_cast<off_t>(position) + static_cast<off_t>(done);
    const ssize_t written = ::pwrite(descriptor_.get(), aligned + done, length - done, at);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      break;
    }
    done += static_cast<size_t>(written);
  }
  return done;
}
