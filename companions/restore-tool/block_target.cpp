#include "block_target.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "support/pause.h"

namespace {

std::string systemError(const std::string& what, int code) {
  return what + ": " + std::strerror(code);
}

std::filesystem::path sysfsDirectory(dev_t device) {
  return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// A partition has a "partition" attribute in its sysfs directory, a whole disk
// has none.
bool isPartitionNode(dev_t device) {
  std::error_code ignored;
  return std::filesystem::exists(sysfsDirectory(device) / "partition", ignored);
}

// Busy partitions are usually released within a second or two once udev or a
// previous user lets go of them.
constexpr int kRereadAttempts = 20;
constexpr std::chrono::milliseconds kRereadPause{250};

}  // namespace

bool isBlockDevice(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

int kernelPartitionCount(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
    return 0;
  }
  // The disk's sysfs directory holds one sub-directory per partition.
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(sysfsDirectory(info.st_rdev), error)) {
    std::error_code ignored;
    if (std::filesystem::exists(entry.path() / "partition", ignored)) {
      ++count;
    }
  }
  return count;
}

BlockTarget::~BlockTarget() { close(); }

void BlockTarget::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool BlockTarget::open(const std::string& path, DeviceKind kind, std::string& error) {
  path_ = path;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    error = systemError("cannot access target " + path, errno);
    return false;
  }
  if (!S_ISBLK(info.st_mode)) {
    error = "target " + path + " is not a block device";
    return false;
  }
  const bool partition = isPartitionNode(info.st_rdev);
  if (kind == DeviceKind::WholeDisk && partition) {
    error = "target " + path + " is a partition; a partition table belongs on a whole disk";
    return false;
  }
  if (kind == DeviceKind::Partition && !partition) {
    error = "target " + path + " is a whole disk; an image belongs on one of its partitions";
    return false;
  }
  fd_ = ::open(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
  if (fd_ < 0) {
    const int code = errno;
    error = code == EBUSY ? "target " + path + " is in use (mounted or held by another program)"
                          : systemError("cannot open target " + path, code);
    return false;
  }
  if (ioctl(fd_, BLKGETSIZE64, &size_) != 0) {
    error = systemError("cannot read the size of " + path, errno);
    return false;
  }
  int block_size = 0;
  if (ioctl(fd_, BLKSSZGET, &block_size) != 0 || block_size <= 0) {
    error = systemError("cannot read the logical block size of " + path, errno);
    return false;
  }
  logical_block_size_ = static_cast<unsigned>(block_size);
  return true;
}

bool BlockTarget::writeAll(uint64_t offset, const char* data, size_t length, std::string& error) {
  while (length > 0) {
    const ssize_t written = pwrite(fd_, data, length, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      error = written < 0 ? systemError("writing to " + path_ + " failed at byte " + std::to_string(offset), errno)
                          : "writing to " + path_ + " made no progress at byte " + std::to_string(offset);
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
  return true;
}

bool BlockTarget::sync(std::string& error) {
  if (fsync(fd_) != 0) {
    error = systemError("flushing " + path_ + " to the device failed", errno);
    return false;
  }
  return true;
}

bool BlockTarget::rereadPartitionTable(std::string& error) {
  for (int attempt = 1;; ++attempt) {
    if (ioctl(fd_, BLKRRPART) == 0) {
      return true;
    }
    const int code = errno;
    if (code != EBUSY || attempt == kRereadAttempts) {
      error = systemError("the kernel could not re-read the partition table of " + path_, code);
      return false;
    }
    pauseFor(kRereadPause);
  }
}
