#include "support/io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

namespace {

// A write that moved nothing would be repeated for ever.
bool noProgress() {
  errno = EIO;
  return false;
}

}  // namespace

ssize_t readFull(int fd, void* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t got = ::read(fd, static_cast<char*>(buffer) + done, count - done);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

ssize_t preadFull(int fd, void* buffer, size_t count, off_t offset) {
  size_t done = 0;
  while (done < count) {
    const ssize_t got =
        ::pread(fd, static_cast<char*>(buffer) + done, count - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool writeFull(int fd, const void* data, size_t count) {
  const char* next = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t written = ::write(fd, next, count);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      return false;
    }
    if (written == 0) {
      return noProgress();
    }
    next += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

bool pwriteFull(int fd, const void* data, size_t count, off_t offset) {
  const char* next = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t written = ::pwrite(fd, next, count, offset);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      return false;
    }
    if (written == 0) {
      return noProgress();
    }
    next += written;
    offset += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

bool pwritevFull(int fd, iovec* pieces, size_t count, off_t offset) {
  while (count > 0) {
    const int batch = static_cast<int>(count < IOV_MAX ? count : IOV_MAX);
    const ssize_t written = ::pwritev(fd, pieces, batch, offset);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      return false;
    }
    if (written == 0) {
      return noProgress();
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

bool sendFull(int socket, const void* data, size_t count) {
  const char* next = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t sent = ::send(socket, next, count, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent < 0) {
      return false;
    }
    if (sent == 0) {
      return noProgress();
    }
    next += sent;
    count -= static_cast<size_t>(sent);
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
