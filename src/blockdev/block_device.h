#pragma once
// One block device opened for writing a restore onto it, and the context
// through which every question about it goes (its size, blocks, identity,
// partitions, signatures), the way libblkid and libfdisk keep one context per
// device: nothing is asked again by path once it is open. It is opened
// exclusively (O_EXCL), so a device whose file system, or one of whose
// partitions, is mounted or otherwise held is refused instead of being
// overwritten under its user. Every failure text names the path and the
// system's reason; the callers log it and show the user their own short words.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "blockdev/partition_table.h"
#include "blockdev/sysfs.h"
#include "support/unique_fd.h"

namespace blockdev {

// What may be opened: a whole disk (for a partition table), a partition (for
// an image), or, for an image downloaded from the backup service, either of
// the two or a regular file sized beforehand.
enum class DeviceKind { WholeDisk, Partition, ImageTarget };

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
  BlockDevice(BlockDevice&&) noexcept = default;
  BlockDevice& operator=(BlockDevice&&) noexcept = default;
  BlockDevice(const BlockDevice&) = delete;
  BlockDevice& operator=(const BlockDevice&) = delete;

  // Opens `path` read-write and exclusively; it must be of the given kind.
  // False with `error` set otherwise; nothing is written then.
  bool open(const std::string& path, DeviceKind kind, std::string& error);

  bool isOpen() const { return fd_.get() >= 0; }
  const std::string& path() const { return path_; }
  int descriptor() const { return fd_.get(); }
  uint64_t size() const { return identity_.size; }
  unsigned logicalBlockSize() const { return logical_block_size_; }
  const DiskIdentity& identity() const { return identity_; }

  // Writes all of `data` at `offset`, continuing short writes.
  bool writeAll(uint64_t offset, const char* data, size_t length, std::string& error);
  bool sync(std::string& error);
  // Wipes every signature that lies within the first `length` bytes and
  // flushes them away, through this device's own file.
  bool wipeSignatures(int64_t length, std::string& error);
  // Has the kernel read the partition table again through this descriptor,
  // retrying for a bounded time while partitions are still busy. A kernel
  // built without partition-table parsers re-reads without finding anything;
  // partprobe then tells it the partitions one by one. False with `error`
  // set when the kernel could not take the table.
  bool rereadPartitionTable(std::string& error);
  // The partitions the kernel has for this disk now.
  std::vector<KernelPartition> partitions() const;
  // Waits, for a bounded time, until partition `number` of this disk has its
  // node, and checks that it lies where `expected` says (the table just
  // written). True with `node` set; false with `error` set otherwise.
  bool findPartition(int number, const PartitionExtent& expected, std::string& node, std::string& error) const;
  // Gives up the device and its exclusive claim.
  void close();

private:
  UniqueFd fd_;
  std::string path_;
  unsigned logical_block_size_ = 0;
  DiskIdentity identity_;
};

// Whether `path` names a block device (after following links).
bool isBlockDevice(const std::string& path);

// Whether the block device `path` is a partition (sysfs says so); false for a
// whole disk and for anything that is no block device.
bool isPartitionDevice(const std::string& path);

// The identity of the disk `path`, read without opening it for writing.
// False with `error` set when it is no block device or cannot be read.
bool readIdentity(const std::string& path, DiskIdentity& identity, std::string& error);

}  // namespace blockdev
