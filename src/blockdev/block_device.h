#pragma once
// A block device opened for writing a restore onto it. It is opened
// exclusively (O_EXCL), so a device whose file system, or one of whose
// partitions, is mounted or otherwise held is refused instead of being
// overwritten under its user. Every failure text names the path and the
// system's reason; the callers log it and show the user their own short words.
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace blockdev {

enum class DeviceKind { WholeDisk, Partition };

// What tells one disk from another that later appears under the same node:
// the kernel's sequence number of the medium (diskseq, where the kernel has
// it), the serial and WWN the device reports (where present), its device
// number and its size.
struct DiskIdentity {
  dev_t device = 0;
  uint64_t diskseq = 0;
  std::string serial;
  std::string wwn;
  uint64_t size = 0;

  bool operator==(const DiskIdentity&) const = default;
  std::string text() const;
};

class BlockDevice {
public:
  BlockDevice() = default;
  ~BlockDevice();
  BlockDevice(const BlockDevice&) = delete;
  BlockDevice& operator=(const BlockDevice&) = delete;

  // Opens `path` read-write and exclusively; it must be a block device of the
  // given kind. False with `error` set otherwise; nothing is written then.
  bool open(const std::string& path, DeviceKind kind, std::string& error);

  const std::string& path() const { return path_; }
  int descriptor() const { return fd_; }
  uint64_t size() const { return identity_.size; }
  unsigned logicalBlockSize() const { return logical_block_size_; }
  const DiskIdentity& identity() const { return identity_; }

  // Writes all of `data` at `offset`, continuing short writes.
  bool writeAll(uint64_t offset, const char* data, size_t length, std::string& error);
  bool sync(std::string& error);
  // Has the kernel read the partition table again through this descriptor,
  // retrying for a bounded time while partitions are still busy. A kernel
  // built without partition-table parsers re-reads without finding anything;
  // partprobe then tells it the partitions one by one. False with `error`
  // set when the kernel could not take the table.
  bool rereadPartitionTable(std::string& error);
  // Gives up the device and its exclusive claim.
  void close();

private:
  int fd_ = -1;
  std::string path_;
  unsigned logical_block_size_ = 0;
  DiskIdentity identity_;
};

// Whether `path` names a block device (after following links).
bool isBlockDevice(const std::string& path);

// Whether the block device `path` is a partition (sysfs says so); false for a
// whole disk and for anything that is no block device.
bool isPartitionDevice(const std::string& path);

// How many partitions the kernel currently has for the disk `path`.
int kernelPartitionCount(const std::string& path);

// The identity of the disk `path`, read without opening it for writing.
// False with `error` set when it is no block device or cannot be read.
bool readIdentity(const std::string& path, DiskIdentity& identity, std::string& error);

// The system's text for `code` after `what`: "what: reason".
std::string systemError(const std::string& what, int code);

}  // namespace blockdev
