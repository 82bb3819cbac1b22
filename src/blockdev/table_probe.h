#pragma once
// The partition table a disk holds, as libblkid reads it from the disk's
// bytes: what a restore tool wrote, whatever the tool and its file formats.
#include <string>
#include <vector>

#include "blockdev/partition_table.h"

namespace blockdev {

struct ProbedPartition {
  int number = 0;
  PartitionExtent extent;  // bytes
};

struct ProbedTable {
  std::string type;          // "dos" or "gpt" (libblkid's names)
  unsigned blockSize = 0;    // the logical block size of the disk it was read on
  std::vector<ProbedPartition> partitions;

  // The partition numbered `number`; null when the table has none.
  const ProbedPartition* partition(int number) const;
};

// Reads the partition table on `device` (opened read-only). False with
// `error` set when it cannot be read or holds no partition table.
bool probePartitionTable(const std::string& device, ProbedTable& table, std::string& error);

}  // namespace blockdev
