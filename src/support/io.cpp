#include "support/io.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

namespace {

// Repeats `call(left, done)`, which moves up to `left` bytes after the first
// `done` and answers like read or write, until `count` bytes have moved or the
// call reports the end (0). The bytes moved, or -1 with errno set.
template <typename Call>
ssize_t repeat(size_t count, Call call) {
  size_t done = 0;
  while (done < count) {
    const ssize_t moved = call(count - done, done);
    if (moved < 0 && errno == EINTR) {
      continue;
    }
    if (moved < 0) {
      return -1;
    }
    if (moved == 0) {
      break;
    }
    done += static_cast<size_t>(moved);
  }
  return static_cast<ssize_t>(done);
}

// For writes, where a call that moves nothing would be repeated for ever.
template <typename Call>
bool repeatAll(size_t count, Call call) {
  const ssize_t moved = repeat(count, call);
  if (moved >= 0 && static_cast<size_t>(moved) < count) {
    errno = EIO;
  }
  return moved >= 0 && static_cast<size_t>(moved) == count;
}

}  // namespace

ssize_t readFull(int fd, void* buffer, size_t count) {
  char* const at = static_cast<char*>(buffer);
  return repeat(count, [fd, at](size_t left, size_t done) { return ::read(fd, at + done, left); });
}

ssize_t preadFull(int fd, void* buffer, size_t count, off_t offset) {
  char* const at = static_cast<char*>(buffer);
  return repeat(count, [fd, at, offset](size_t left, size_t done) {
    return ::pread(fd, at + done, left, offset + static_cast<off_t>(done));
  });
}

bool writeFull(int fd, const void* data, size_t count) {
  const char* const at = static_cast<const char*>(data);
  return repeatAll(count, [fd, at](size_t left, size_t done) { return ::write(fd, at + done, left); });
}

bool pwriteFull(int fd, const void* data, size_t count, off_t offset) {
  const char* const at = static_cast<const char*>(data);
  return repeatAll(count, [fd, at, offset](size_t left, size_t done) {
    return ::pwrite(fd, at + done, left, offset + static_cast<off_t>(done));
  });
}

bool sendFull(int socket, const void* data, size_t count) {
  const char* const at = static_cast<const char*>(data);
  return repeatAll(count,
                   [socket, at](size_t left, size_t done) { return ::send(socket, at + done, left, MSG_NOSIGNAL); });
}

bool sendFileFull(int socket, int file, off_t offset, size_t count) {
  return repeatAll(count, [socket, file, offset](size_t left, size_t done) {
    off_t at = offset + static_cast<off_t>(done);
    return ::sendfile(socket, file, &at, left);
  });
}

bool pwritevFull(int fd, iovec* pieces, size_t count, off_t offset) {
  while (count > 0) {
    const int batch = static_cast<int>(count < IOV_MAX ? count : IOV_MAX);
    const ssize_t written = ::pwritev(fd, pieces, batch, offset);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      if (written == 0) {
        errno = EIO;
      }
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

UniqueFd reopenDescriptor(int fd, int flags) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return UniqueFd(::open(self.c_str(), flags | O_CLOEXEC));
}

AlignedBuffer::AlignedBuffer(size_t size) : size_(size) {
  void* memory = nullptr;
  const size_t rounded = (size + directIoAlignment - 1) / directIoAlignment * directIoAlignment;
  if (::posix_memalign(&memory, directIoAlignment, rounded == 0 ? directIoAlignment : rounded) == 0) {
    memory_.reset(static_cast<char*>(memory));
  }
}
