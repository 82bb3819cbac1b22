#pragma once
// Whole reads and writes on descriptors, memory for I/O past the page cache,
// and a second descriptor of a file already open. Short counts and EINTR are
// continued here, so that callers see either the whole transfer or a failure
// with errno set.
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "support/unique_fd.h"

// Positions, lengths and memory of I/O past the page cache (O_DIRECT) are
// multiples of this: it covers devices with 512-byte and 4096-byte logical
// blocks.
constexpr size_t directIoAlignment = 4096;

// Reads until `count` bytes are in or the file ends. The bytes read, or -1
// with errno set when a read failed.
ssize_t readFull(int fd, void* buffer, size_t count);
// The same at `offset`, leaving the file position alone.
ssize_t preadFull(int fd, void* buffer, size_t count, off_t offset);

// Writes all `count` bytes; false with errno set otherwise (EIO when a write
// moved nothing).
bool writeFull(int fd, const void* data, size_t count);
// The same at `offset`, leaving the file position alone.
bool pwriteFull(int fd, const void* data, size_t count, off_t offset);
// The same for `count` pieces the way pwritev takes them; the pieces are
// used up on the way.
bool pwritevFull(int fd, iovec* pieces, size_t count, off_t offset);
// writeFull for a socket: a peer that went away is an error (EPIPE), not a
// signal that ends the process.
bool sendFull(int socket, const void* data, size_t count);
// Sends `count` bytes of `file` from `offset` to `socket` without copying them
// through user space; false with errno set otherwise (EIO when the file ends
// before them).
bool sendFileFull(int socket, int file, off_t offset, size_t count);

// A new descriptor of the file behind `fd` with `flags` (O_CLOEXEC is added):
// the same file, not whatever its name points to by now. For I/O with flags
// the first descriptor must not carry, such as O_DIRECT. Holds -1 with errno
// set when the file cannot be opened that way.
UniqueFd reopenDescriptor(int fd, int flags);

// Memory on the directIoAlignment boundary; empty (null data) when none could
// be had.
class AlignedBuffer {
public:
  AlignedBuffer() = default;
  explicit AlignedBuffer(size_t size);

  char* data() const { return memory_.get(); }
  size_t size() const { return memory_ ? size_ : 0; }
  explicit operator bool() const { return memory_ != nullptr; }

private:
  struct Free {
    void operator()(char* memory) const { std::free(memory); }
  };
  std::unique_ptr<char, Free> memory_;
  size_t size_ = 0;
};
