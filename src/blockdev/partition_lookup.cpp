#include "blockdev/partition_lookup.h"

#include <sys/stat.h>

#include <chrono>
#include <optional>

#include "blockdev/sysfs.h"
#include "support/pause.h"

namespace blockdev {

namespace {

// The kernel makes the nodes of a re-read table within moments; this bounds
// the wait for one that never comes.
constexpr int nodeChecks = 100;
constexpr std::chrono::milliseconds nodeInterval{100};

std::optional<dev_t> blockDeviceNumber(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
    return std::nullopt;
  }
  return info.st_rdev;
}

std::optional<KernelPartition> kernelPartition(dev_t disk, int number) {
  for (const KernelPartition& partition : kernelPartitions(disk)) {
    if (partition.number == number) {
      return partition;
    }
  }
  return std::nullopt;
}

std::string nodeOf(const KernelPartition& partition) {
  const std::string node = "/dev/" + partition.name;
  return blockDeviceNumber(node) == partition.device ? node : std::string();
}

}  // namespace

std::string partitionNode(const std::string& disk, int number) {
  const std::optional<dev_t> device = blockDeviceNumber(disk);
  const std::optional<KernelPartition> partition = device ? kernelPartition(*device, number) : std::nullopt;
  return partition ? nodeOf(*partition) : std::string();
}

bool findPartition(dev_t disk, const std::string& diskName, int number, const PartitionExtent& expected,
                   std::string& path, std::string& error) {
  for (int check = 0;; ++check) {
    const std::optional<KernelPartition> partition = kernelPartition(disk, number);
    const std::string node = partition ? nodeOf(*partition) : std::string();
    if (!node.empty()) {
      if (partition->start != expected.start || partition->size != expected.size) {
        error = "partition " + std::to_string(number) + " of " + diskName + " (" + node + ") lies at byte " +
                std::to_string(partition->start) + " with " + std::to_string(partition->size) +
                " bytes, the table written puts it at byte " + std::to_string(expected.start) + " with " +
                std::to_string(expected.size) + " bytes";
        return false;
      }
      path = node;
      return true;
    }
    if (check == nodeChecks) {
      error = "partition " + std::to_string(number) + " of " + diskName + " did not appear";
      return false;
    }
    pauseFor(nodeInterval);
  }
}

bool findPartition(const std::string& disk, int number, const PartitionExtent& expected, std::string& path,
                   std::string& error) {
  const std::optional<dev_t> device = blockDeviceNumber(disk);
  if (!device) {
    error = "partition " + std::to_string(number) + " of " + disk + " did not appear: " + disk +
            " is not a block device";
    return false;
  }
  return findPartition(*device, disk, number, expected, path, error);
}

}  // namespace blockdev
