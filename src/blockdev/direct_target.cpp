#include "blockdev/direct_target.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

DirectTarget::DirectTarget(int descriptor, size_t capacity) : capacity_(capacity) {
  if (capacity_ < alignment || capacity_ % alignment != 0) {
    return;
  }
  // The file itself, not whatever its name points to by now.
  const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
  const int direct = ::open(self.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
  if (direct < 0) {
    return;
  }
  staging_.reset(static_cast<char*>(std::aligned_alloc(alignment, capacity_)));
  if (!staging_) {
    ::close(direct);
    return;
  }
  descriptor_ = direct;
}

DirectTarget::~DirectTarget() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
  }
}

void DirectTarget::Free::operator()(char* memory) const { std::free(memory); }

bool DirectTarget::takes(int64_t position, size_t length) const {
  return usable() && position >= 0 && static_cast<uint64_t>(position) % alignment == 0 && length > 0 &&
         length % alignment == 0 && length <= capacity_;
}

size_t DirectTarget::write(int64_t position, const iovec* pieces, size_t count, size_t length) {
  size_t gathered = 0;
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(staging_.get() + gathered, pieces[i].iov_base, pieces[i].iov_len);
    gathered += pieces[i].iov_len;
  }
  size_t done = 0;
  // A short direct write leaves the rest unaligned; it is the caller's then.
  while (done < length && done % alignment == 0) {
    const auto at = static_cast<off_t>(position) + static_cast<off_t>(done);
    const ssize_t written = ::pwrite(descriptor_, staging_.get() + done, length - done, at);
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
