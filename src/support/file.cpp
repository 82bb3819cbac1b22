#include "support/file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdint>

namespace {

struct OpenRule {
  int flags;
  bool unlink_first;
  int advice;  // -1: no hint
};

OpenRule ruleFor(int mode) {
  switch (mode) {
    case 0: return {O_RDONLY, false, -1};
    case 1: return {O_WRONLY | O_CREAT, true, -1};
    case 2: return {O_RDWR | O_APPEND, false, -1};
    case 3: return {O_RDWR, false, -1};
    case 4: return {O_RDONLY, false, -1};
    case 5: return {O_RDWR | O_CREAT, false, -1};
    case 6: return {O_RDONLY, false, -1};
    case 7: return {O_RDONLY, false, POSIX_FADV_SEQUENTIAL};
    case 8: return {O_RDONLY | O_NOATIME, false, POSIX_FADV_SEQUENTIAL};
    case 9: return {O_RDWR, false, POSIX_FADV_SEQUENTIAL};
    case 10: return {O_RDWR, false, POSIX_FADV_DONTNEED};
    case 11: return {O_RDWR, false, -1};
    case 12: return {O_RDWR, false, -1};
    case 13: return {O_RDWR | O_CREAT, false, -1};
    case 14: return {O_RDWR | O_CREAT, false, -1};
    case 15: return {O_RDONLY, false, -1};
    case 16: return {O_RDWR | O_DIRECT, false, -1};
    case 17: return {O_RDWR | O_CREAT | O_DIRECT, false, POSIX_FADV_SEQUENTIAL};
    case 18: return {O_RDWR | O_CREAT, false, -1};
    case 19: return {O_RDWR, false, -1};
    default: return {O_RDONLY, false, -1};
  }
}

void markError(bool* has_error) {
  if (has_error != nullptr) {
    *has_error = true;
  }
}

}  // namespace

File::~File() { Close(); }

bool File::Open(std::string name, int mode) {
  Close();
  fname = std::move(name);
  const OpenRule rule = ruleFor(mode);
  if (rule.unlink_first) {
    unlink(fname.c_str());
  }
  fd = ::open(fname.c_str(), rule.flags | O_CLOEXEC, 0770);
  if (fd == -1) {
    return false;
  }
  if (rule.advice != -1) {
    posix_fadvise(fd, 0, 0, rule.advice);
  }
  return true;
}

bool File::Open(void* handle, const std::string& name) {
  Close();
  fd = static_cast<int>(reinterpret_cast<intptr_t>(handle));
  fname = name;
  return true;
}

bool File::OpenTemporaryFile(const std::string& /*dir*/, bool /*first_try*/) {
  Close();
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern = std::string(tmpdir != nullptr ? tmpdir : "/tmp") + "/cps.XXXXXX";
  const mode_t previous = umask(077);
  fd = mkstemp(pattern.data());
  umask(previous);
  if (fd == -1) {
    return false;
  }
  fname = pattern;
  return true;
}

std::string File::Read(unsigned int count, bool* has_error) {
  std::string data(count, '\0');
  data.resize(Read(data.data(), count, has_error));
  return data;
}

std::string File::Read(long long offset, unsigned int count, bool* has_error) {
  std::string data(count, '\0');
  data.resize(Read(offset, data.data(), count, has_error));
  return data;
}

unsigned int File::Read(char* buffer, unsigned int count, bool* has_error) {
  const ssize_t got = ::read(fd, buffer, count);
  if (got < 0) {
    markError(has_error);
    return 0;
  }
  return static_cast<unsigned int>(got);
}

unsigned int File::Read(long long offset, char* buffer, unsigned int count, bool* has_error) {
  const ssize_t got = ::pread(fd, buffer, count, offset);
  if (got < 0) {
    markError(has_error);
    return 0;
  }
  return static_cast<unsigned int>(got);
}

unsigned int File::Write(const std::string& data, bool* has_error) {
  return Write(data.data(), static_cast<unsigned int>(data.size()), has_error);
}

unsigned int File::Write(long long offset, const std::string& data, bool* has_error) {
  return Write(offset, data.data(), static_cast<unsigned int>(data.size()), has_error);
}

unsigned int File::Write(const char* buffer, unsigned int count, bool* has_error) {
  const ssize_t put = ::write(fd, buffer, count);
  if (put < 0) {
    markError(has_error);
    return 0;
  }
  return static_cast<unsigned int>(put);
}

unsigned int File::Write(long long offset, const char* buffer, unsigned int count, bool* has_error) {
  const ssize_t put = ::pwrite(fd, buffer, count, offset);
  if (put < 0) {
    markError(has_error);
    return 0;
  }
  return static_cast<unsigned int>(put);
}

bool File::Seek(long long offset) { return ::lseek(fd, offset, SEEK_SET) == offset; }

long long File::Size() {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return -1;
  }
  if (S_ISBLK(info.st_mode)) {
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) {
      return static_cast<long long>(bytes);
    }
  }
  return info.st_size;
}

long long File::RealSize() {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return -1;
  }
  return static_cast<long long>(info.st_blocks) * 512;
}

bool File::Sync() { return ::fsync(fd) == 0; }

bool File::Resize(long long new_size, bool /*set_sparse*/) { return ::ftruncate(fd, new_size) == 0; }

bool File::PunchHole(long long /*offset*/, long long /*length*/) { return false; }

void File::resetSparseExtentIter() { sparse_extent_pos = 0; }

void File::Close() {
  if (fd != -1) {
    ::close(fd);
    fd = -1;
  }
}

bool DeleteFileInt(std::string path) { return ::unlink(path.c_str()) == 0; }
