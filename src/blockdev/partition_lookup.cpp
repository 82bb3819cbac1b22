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

std::optional<KernelPartition> kernelPartition(const std::string& disk, int number) {
  struct stat info {};
  if (stat(disk.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
    return std::nullopt;
  }
  for (const KernelPartition& partition : kernelPartitions(info.st_rdev)) {
    if (partition.number == number) {
      return partition;
    }
  }
  return std::nullopt;
}

std::string nodeOf(const KernelPartition& partition) {
  const std::string node = "/dev/" + partition.name;
  struct stat info {};
  return stat(node.c_str(), &info) == 0 && S_ISBLK(info.st_mode) && info.st_rdev == partition.device ? node
                                                                                                      : std::string();
}

}  // namespace

std::string partitionNode(const std::string& disk, int number) {
  const std::optional<KernelPartition> partition = kernelPartition(disk, number);
  return partition ? nodeOf(*partition) : std::string();
}

bool findPartition(const std::string& disk, int number, const PartitionExtent& expected, std::string& path,
                   std::string& error) {
  for (int check = 0;; ++check) {
    const std::optional<KernelPartition> partition = kernelPartition(disk, number);
    const std::string node = partition ? nodeOf(*partition) : std::string();
    if (!node.empty()) {
      if (partition->start != expected.start || partition->size != expected.size) {
        error = "partition " + std::to_string(number) + " of " + disk + " (" + node + ") lies at byte " +
                std::to_string(partition->start) + " with " + std::to_string(partition->size) +
                " bytes, the table written puts it at byte " + std::to_string(expected.start) + " with " +
                std::to_string(expected.size) + " bytes";
        return false;
      }
      path = node;
      return true;
    }
    if (check == nodeChecks) {
      error = "partition " + std::to_string(number) + " of " + disk + " did not appear";
      return false;
    }
    pauseFor(nodeInterval);
  }
}

}  // namespace blockdev
