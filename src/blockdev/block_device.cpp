#include "blockdev/block_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>

#include "blockdev/partition_lookup.h"
#include "blockdev/signature_wipe.h"
#include "support/command.h"
#include "support/io.h"
#include "support/pause.h"
#include "support/shell_quote.h"
#include "support/system_error.h"

namespace blockdev {

namespace {

// Busy partitions are usually released within a second or two once udev or a
// previous user lets go of them.
constexpr int rereadAttempts = 20;
constexpr std::chrono::milliseconds rereadPause{250};
// What a regular file standing in for a device counts its blocks in.
constexpr unsigned fileBlockSize = 512;

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

// Why a block device of the wrong kind is refused; empty when it is right.
std::string kindRefusal(const std::string& path, DeviceKind kind, dev_t device) {
  const bool partition = isPartition(device);
  if (kind == DeviceKind::WholeDisk && partition) {
    return "target " + path + " is a partition; a partition table belongs on a whole disk";
  }
  if (kind == DeviceKind::Partition && !partition) {
    return "target " + path + " is a whole disk; an image belongs on one of its partitions";
  }
  if (kind == DeviceKind::WholeDisk) {
    const std::string member = mountedMember(device);
    if (!member.empty()) {
      return "target " + path + " is in use: " + member + " is mounted";
    }
  }
  return std::string();
}

}  // namespace

std::string DiskIdentity::text() const {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device)) + " diskseq " + std::to_string(diskseq) +
         " serial '" + serial + "' wwn '" + wwn + "' size " + std::to_string(size);
}

void BlockDevice::close() { fd_.reset(); }

bool BlockDevice::open(const std::string& path, DeviceKind kind, std::string& error) {
  close();
  path_ = path;
  identity_ = DiskIdentity();
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    error = systemError("cannot access target " + path);
    return false;
  }
  const bool plainFile = kind == DeviceKind::ImageTarget && S_ISREG(info.st_mode);
  if (!S_ISBLK(info.st_mode) && !plainFile) {
    error = "target " + path + " is not a block device";
    return false;
  }
  if (kind != DeviceKind::ImageTarget) {
    error = kindRefusal(path, kind, info.st_rdev);
    if (!error.empty()) {
      return false;
    }
  }
  fd_ = UniqueFd(::open(path.c_str(), O_RDWR | O_CLOEXEC | (plainFile ? 0 : O_EXCL)));
  if (!isOpen()) {
    const int code = errno;
    error = code == EBUSY ? systemError("target " + path + " is in use (mounted or held by another program)", code)
                          : systemError("cannot open target " + path, code);
    return false;
  }
  if (kind == DeviceKind::ImageTarget) {
    // An image is written once and not read again but for the check, which
    // goes past the cache anyway.
    posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_DONTNEED);
  }
  struct stat opened {};
  // The node may have been replaced between the look and the open.
  if (fstat(fd_.get(), &opened) != 0 || (opened.st_mode & S_IFMT) != (info.st_mode & S_IFMT) ||
      (plainFile ? opened.st_ino != info.st_ino : opened.st_rdev != info.st_rdev)) {
    error = "target " + path + " changed while it was opened";
    close();
    return false;
  }
  if (plainFile) {
    logical_block_size_ = fileBlockSize;
    identity_.size = static_cast<uint64_t>(opened.st_size);
    return true;
  }
  uint64_t size = 0;
  if (ioctl(fd_.get(), BLKGETSIZE64, &size) != 0) {
    error = systemError("cannot read the size of " + path);
    close();
    return false;
  }
  int block_size = 0;
  if (ioctl(fd_.get(), BLKSSZGET, &block_size) != 0 || block_size <= 0) {
    error = systemError("cannot read the logical block size of " + path);
    close();
    return false;
  }
  logical_block_size_ = static_cast<unsigned>(block_size);
  fillIdentity(opened.st_rdev, identity_);
  identity_.size = size;
  return true;
}

bool BlockDevice::writeAll(uint64_t offset, const char* data, size_t length, std::string& error) {
  if (!pwriteFull(fd_.get(), data, length, static_cast<off_t>(offset))) {
    error = systemError("writing to " + path_ + " failed at byte " + std::to_string(offset));
    return false;
  }
  return true;
}

bool BlockDevice::sync(std::string& error) {
  if (fsync(fd_.get()) != 0) {
    error = systemError("flushing " + path_ + " to the device failed");
    return false;
  }
  return true;
}

bool BlockDevice::wipeSignatures(int64_t length, std::string& error) {
  // Through this descriptor's own file: the node may name another device by
  // now, and the exclusive claim stays with this descriptor.
  if (blockdev::wipeSignatures("/proc/self/fd/" + std::to_string(fd_.get()), length, error)) {
    return true;
  }
  error = path_ + ": " + error;
  return false;
}

bool BlockDevice::rereadPartitionTable(std::string& error) {
  for (int attempt = 1;; ++attempt) {
    if (ioctl(fd_.get(), BLKRRPART) == 0) {
      break;
    }
    const int code = errno;
    if (code != EBUSY || attempt == rereadAttempts) {
      error = systemError("the kernel could not re-read the partition table of " + path_, code);
      return false;
    }
    pauseFor(rereadPause);
  }
  if (!partitions().empty()) {
    return true;
  }
  const int status = runSystem("partprobe " + shellQuote(path_) + " > /dev/null 2>&1");
  if (status != 0) {
    error = "partprobe " + path_ + " failed with status " + std::to_string(status);
    return false;
  }
  return true;
}

std::vector<KernelPartition> BlockDevice::partitions() const { return kernelPartitions(identity_.device); }

bool BlockDevice::findPartition(int number, const PartitionExtent& expected, std::string& node,
                                std::string& error) const {
  return blockdev::findPartition(identity_.device, path_, number, expected, node, error);
}

bool isBlockDevice(const std::string& path) {
  struct stat info {};
  return statBlock(path, info);
}

bool isPartitionDevice(const std::string& path) {
  struct stat info {};
  return statBlock(path, info) && isPartition(info.st_rdev);
}

bool readIdentity(const std::string& path, DiskIdentity& identity, std::string& error) {
  struct stat info {};
  if (!statBlock(path, info)) {
    error = "target " + path + " is not a block device";
    return false;
  }
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    error = systemError("cannot open " + path);
    return false;
  }
  uint64_t size = 0;
  if (ioctl(fd.get(), BLKGETSIZE64, &size) != 0) {
    error = systemError("cannot read the size of " + path);
    return false;
  }
  identity = DiskIdentity();
  fillIdentity(info.st_rdev, identity);
  identity.size = size;
  return true;
}

}  // namespace blockdev
