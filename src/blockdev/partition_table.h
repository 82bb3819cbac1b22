#pragma once
// The pieces of a partition table as they are written onto a disk, and where
// a partition lies according to them: everything that must be known to fit
// before the first byte of the table changes.
#include <cstdint>
#include <string>
#include <vector>

namespace blockdev {

// One piece of the table and where it goes.
struct TableRegion {
  std::string name;
  int64_t offset = 0;
  const std::string* bytes = nullptr;
};

// Byte range of a partition on its disk.
struct PartitionExtent {
  uint64_t start = 0;
  uint64_t size = 0;

  bool operator==(const PartitionExtent&) const = default;
};

// True when every region holds bytes and lies wholly inside a disk of
// `diskSize` bytes; false with the first region that does not in `error`.
bool regionsFit(const std::vector<TableRegion>& regions, uint64_t diskSize, std::string& error);

// Where partition `number` (counting from 1) lies by the table: for an MBR
// table (`gptHeader` empty) its primary entry, in `blockSize`-byte blocks; for
// a GPT its entry in `gptEntries`, whose size the header gives. Logical
// partitions of an MBR table live in chained boot records that no record
// carries. False with `error` set when the table has no such partition.
bool partitionExtent(const std::string& mbr, const std::string& gptHeader, const std::string& gptEntries,
                     unsigned blockSize, int number, PartitionExtent& extent, std::string& error);

}  // namespace blockdev
