#include "blockdev/block_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "blockdev/sysfs.h"
#include "support/command.h"
#include "support/pause.h"
#include "support/shell_quote.h"

namespace blockdev {

namespace {

// Busy partitions are usually released within a second or two once udev or a
// previous user lets go of them.
constexpr int rereadAttempts = 20;
constexpr std::chrono::milliseconds rereadPause{250};

bool statBlock(const std::string& path, struct stat& info) {
  return stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

bool isPartition(dev_t device) {
  std::error_code ignored;
  return std::filesystem::exists(sysfsDirectory(device) / "partition", ignored);
}

// The device numbers "major:minor" of every mounted file system.
std::string mountedDevices() {
  std::ifstream in("/proc/self/mountinfo");
  std::string devices;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string id;
    std::string parent;
    std::string numbers;
    fields >> id >> parent >> numbers;
    devices += " " + numbers + " ";
  }
  return devices;
}

bool mounted(const std::string& mounts, dev_t device) {
  return mounts.find(" " + std::to_string(major(device)) + ":" + std::to_string(minor(device)) + " ") !=
         std::string::npos;
}

// A mounted partition (or the disk itself) by name, for the refusal text.
std::string mountedMember(dev_t disk) {
  const std::string mounts = mountedDevices();
  if (mounted(mounts, disk)) {
    return "the disk itself";
  }
  for (const KernelPartition& partition : kernelPartitions(disk)) {
    if (mounted(mounts, partition.device)) {
      return "partition " + partition.name;
    }
  }
  return std::string();
}

void fillIdentity(dev_t device, DiskIdentity& identity) {
  const std::filesystem::path dir = sysfsDirectory(device);
  identity.device = device;
  identity.diskseq = std::strtoull(sysfsAttribute(dir / "diskseq").c_str(), nullptr, 10);
  identity.serial = sysfsAttribute(dir / "serial");
  if (identity.serial.empty()) {
    identity.serial = sysfsAttribute(dir / "device" / "serial");
  }
  if (identity.serial.empty()) {
    identity.serial = udevProperty(device, "ID_SERIAL");
  }
  identity.wwn = sysfsAttribute(dir / "wwid");
  if (identity.wwn.empty()) {
    identity.wwn = sysfsAttribute(dir / "device" / "wwid");
  }
  if (identity.wwn.empty()) {
    identity.wwn = udevProperty(device, "ID_WWN");
  }
}

}  // namespace

std::string systemError(const std::string& what, int code) { return what + ": " + std::strerror(code); }

std::string DiskIdentity::text() const {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device)) + " diskseq " + std::to_string(diskseq) +
         " serial '" + serial + "' wwn '" + wwn + "' size " + std::to_string(size);
}

BlockDevice::~BlockDevice() { close(); }

void BlockDevice::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool BlockDevice::open(const std::string& path, DeviceKind kind, std::string& error) {
  close();
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
  const bool partition = isPartition(info.st_rdev);
  if (kind == DeviceKind::WholeDisk && partition) {
    error = "target " + path + " is a partition; a partition table belongs on a whole disk";
    return false;
  }
  if (kind == DeviceKind::Partition && !partition) {
    error = "target " + path + " is a whole disk; an image belongs on one of its partitions";
    return false;
  }
  if (kind == DeviceKind::WholeDisk) {
    const std::string member = mountedMember(info.st_rdev);
    if (!member.empty()) {
      error = "target " + path + " is in use: " + member + " is mounted";
      return false;
    }
  }
  fd_ = ::open(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
  if (fd_ < 0) {
    const int code = errno;
    error = code == EBUSY ? "target " + path + " is in use (mounted or held by another program): " + std::strerror(code)
                          : systemError("cannot open target " + path, code);
    return false;
  }
  struct stat opened {};
  // The node may have been replaced between the look and the open.
  if (fstat(fd_, &opened) != 0 || !S_ISBLK(opened.st_mode) || opened.st_rdev != info.st_rdev) {
    error = "target " + path + " changed while it was opened";
    close();
    return false;
  }
  uint64_t size = 0;
  if (ioctl(fd_, BLKGETSIZE64, &size) != 0) {
    error = systemError("cannot read the size of " + path, errno);
    close();
    return false;
  }
  int block_size = 0;
  if (ioctl(fd_, BLKSSZGET, &block_size) != 0 || block_size <= 0) {
    error = systemError("cannot read the logical block size of " + path, errno);
    close();
    return false;
  }
  logical_block_size_ = static_cast<unsigned>(block_size);
  identity_ = DiskIdentity();
  fillIdentity(opened.st_rdev, identity_);
  identity_.size = size;
  return true;
}

bool BlockDevice::writeAll(uint64_t offset, const char* data, size_t length, std::string& error) {
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

bool BlockDevice::sync(std::string& error) {
  if (fsync(fd_) != 0) {
    error = systemError("flushing " + path_ + " to the device failed", errno);
    return false;
  }
  return true;
}

bool BlockDevice::rereadPartitionTable(std::string& error) {
  for (int attempt = 1;; ++attempt) {
    if (ioctl(fd_, BLKRRPART) == 0) {
      break;
    }
    const int code = errno;
    if (code != EBUSY || attempt == rereadAttempts) {
      error = systemError("the kernel could not re-read the partition table of " + path_, code);
      return false;
    }
    pauseFor(rereadPause);
  }
  if (!kernelPartitions(identity_.device).empty()) {
    return true;
  }
  const int status = runSystem("partprobe " + shellQuote(path_) + " > /dev/null 2>&1");
  if (status != 0) {
    error = "partprobe " + path_ + " failed with status " + std::to_string(status);
    return false;
  }
  return true;
}

bool isBlockDevice(const std::string& path) {
  struct stat info {};
  return statBlock(path, info);
}

bool isPartitionDevice(const std::string& path) {
  struct stat info {};
  return statBlock(path, info) && isPartition(info.st_rdev);
}

int kernelPartitionCount(const std::string& path) {
  struct stat info {};
  return statBlock(path, info) ? static_cast<int>(kernelPartitions(info.st_rdev).size()) : 0;
}

bool readIdentity(const std::string& path, DiskIdentity& identity, std::string& error) {
  struct stat info {};
  if (!statBlock(path, info)) {
    error = "target " + path + " is not a block device";
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = systemError("cannot open " + path, errno);
    return false;
  }
  uint64_t size = 0;
  const bool sized = ioctl(fd, BLKGETSIZE64, &size) == 0;
  const int code = errno;
  ::close(fd);
  if (!sized) {
    error = systemError("cannot read the size of " + path, code);
    return false;
  }
  identity = DiskIdentity();
  fillIdentity(info.st_rdev, identity);
  identity.size = size;
  return true;
}

}  // namespace blockdev
