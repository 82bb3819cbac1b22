#pragma once
// A block device opened for writing by the restore tool. It is opened
// exclusively, so a device whose file system (or one of whose partitions) is
// mounted is refused instead of being overwritten under the mount.
#include <cstdint>
#include <string>

enum class DeviceKind { WholeDisk, Partition };

class BlockTarget {
public:
  BlockTarget() = default;
  ~BlockTarget();
  BlockTarget(const BlockTarget&) = delete;
  BlockTarget& operator=(const BlockTarget&) = delete;

  // Opens `path`, which must be a block device of the given kind. On failure
  // returns false with `error` set; nothing has been written then.
  bool open(const std::string& path, DeviceKind kind, std::string& error);

  const std::string& path() const { return path_; }
  uint64_t size() const { return size_; }
  unsigned logicalBlockSize() const { return logical_block_size_; }

  // Writes all of `data` at `offset`, retrying short writes.
  bool writeAll(uint64_t offset, const char* data, size_t length, std::string& error);
  bool sync(std::string& error);
  // Has the kernel read the partition table again; retries while partitions
  // are still busy (udev probing them, for example) for a bounded time.
  bool rereadPartitionTable(std::string& error);
  // Gives up the device (and its exclusive claim) before other programs use it.
  void close();

private:
  int fd_ = -1;
  std::string path_;
  uint64_t size_ = 0;
  unsigned logical_block_size_ = 0;
};

// Whether `path` names a block device (after following links).
bool isBlockDevice(const std::string& path);

// How many partitions the kernel currently has for the disk `path`.
int kernelPartitionCount(const std::string& path);
