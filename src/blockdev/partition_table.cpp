#include "blockdev/partition_table.h"

#include "blockdev/table_fields.h"

namespace blockdev {

namespace {

using namespace table_fields;

constexpr size_t mbrEntries = 446;
constexpr size_t mbrEntrySize = 16;
constexpr int mbrPrimaryCount = 4;

bool mbrExtent(const std::string& mbr, unsigned blockSize, int number, PartitionExtent& extent, std::string& error) {
  if (number < 1 || number > mbrPrimaryCount) {
    error = "partition " + std::to_string(number) + " is no primary partition of the MBR table";
    return false;
  }
  const size_t entry = mbrEntries + static_cast<size_t>(number - 1) * mbrEntrySize;
  if (mbr.size() < entry + mbrEntrySize) {
    error = "the MBR is too short for partition " + std::to_string(number);
    return false;
  }
  const uint64_t type = readLittleEndian(mbr, entry + 4, 1);
  const uint64_t first = readLittleEndian(mbr, entry + 8, 4);
  const uint64_t count = readLittleEndian(mbr, entry + 12, 4);
  if (type == 0 || count == 0) {
    error = "the MBR table has no partition " + std::to_string(number);
    return false;
  }
  extent = {first * blockSize, count * blockSize};
  return true;
}

bool gptExtent(const std::string& header, const std::string& entries, unsigned blockSize, int number,
               PartitionExtent& extent, std::string& error) {
  if (header.size() < gptEntrySize + 4) {
    error = "the GPT header is too short";
    return false;
  }
  const uint64_t count = readLittleEndian(header, gptEntryCount, 4);
  const uint64_t size = readLittleEndian(header, gptEntrySize, 4);
  if (size < gptEntryLastLba + 8 || number < 1 || static_cast<uint64_t>(number) > count ||
      entries.size() < static_cast<uint64_t>(number) * size) {
    error = "the GPT has no entry for partition " + std::to_string(number);
    return false;
  }
  const size_t entry = static_cast<size_t>(number - 1) * size;
  if (entries.compare(entry, gptEntryTypeSize, std::string(gptEntryTypeSize, '\0')) == 0) {
    error = "the GPT has no partition " + std::to_string(number);
    return false;
  }
  const uint64_t first = readLittleEndian(entries, entry + gptEntryFirstLba, 8);
  const uint64_t last = readLittleEndian(entries, entry + gptEntryLastLba, 8);
  if (last < first) {
    error = "the GPT entry of partition " + std::to_string(number) + " ends before it starts";
    return false;
  }
  // A crafted entry could make the byte positions wrap around and pass for
  // a partition near the start of the disk.
  if (blockSize == 0 || last >= UINT64_MAX / blockSize) {
    error = "the GPT entry of partition " + std::to_string(number) + " lies beyond any disk";
    return false;
  }
  extent = {first * blockSize, (last - first + 1) * blockSize};
  return true;
}

}  // namespace

bool regionsFit(const std::vector<TableRegion>& regions, uint64_t diskSize, std::string& error) {
  for (const TableRegion& region : regions) {
    if (region.bytes == nullptr || region.bytes->empty()) {
      error = "the record's " + region.name + " is empty";
      return false;
    }
    const uint64_t length = region.bytes->size();
    if (region.offset < 0 || static_cast<uint64_t>(region.offset) > diskSize ||
        length > diskSize - static_cast<uint64_t>(region.offset)) {
      error = "the record's " + region.name + " (" + std::to_string(length) + " bytes at byte " +
              std::to_string(region.offset) + ") lies beyond the end of the target (" + std::to_string(diskSize) +
              " bytes); the target disk is smaller than the backed-up disk";
      return false;
    }
  }
  return true;
}

bool partitionExtent(const std::string& mbr, const std::string& gptHeader, const std::string& gptEntries,
                     unsigned blockSize, int number, PartitionExtent& extent, std::string& error) {
  return gptHeader.empty() ? mbrExtent(mbr, blockSize, number, extent, error)
                           : gptExtent(gptHeader, gptEntries, blockSize, number, extent, error);
}

}  // namespace blockdev
