#include "protocol/table_regions.h"

#include "blockdev/gpt_relocation.h"

namespace {

constexpr unsigned kMbrSectorSize = 512;

bool refuse(TableRefusal why, TableRefusal* refusal) {
  if (refusal != nullptr) {
    *refusal = why;
  }
  return false;
}

}  // namespace

bool planTableRegions(const SMBRData& record, uint64_t device_size, unsigned logical_block_size,
                      std::vector<blockdev::TableRegion>& regions, std::string& error, TableRefusal* refusal) {
  // Every MBR, a GPT disk's protective one too, ends its first sector with
  // 55 AA; without it the record holds no partition table at all.
  const std::string& mbr = record.mbr_data;
  if (mbr.size() < 512 || static_cast<unsigned char>(mbr[510]) != 0x55 ||
      static_cast<unsigned char>(mbr[511]) != 0xAA) {
    error = "the record holds no MBR (no 55 AA boot signature in its first sector)";
    return refuse(TableRefusal::noTable, refusal);
  }
  regions = {{"MBR", 0, &record.mbr_data}};
  if (!record.is_gpt) {
    // The record holds the table's first 512 bytes and nothing that says
    // which sector size its entries count in; MBR tables come from disks
    // with 512-byte sectors. Read on a disk with larger blocks, every start
    // and size would grow by that factor and the image land elsewhere.
    if (logical_block_size != kMbrSectorSize) {
      error = "the record's MBR counts 512-byte sectors, the target has " + std::to_string(logical_block_size) +
              "-byte logical blocks";
      return refuse(TableRefusal::blockSizeDiffers, refusal);
    }
  } else {
    if (record.header_offset != static_cast<int64_t>(logical_block_size)) {
      error = "the record's GPT belongs on a disk with " + std::to_string(record.header_offset) +
              "-byte logical blocks, the target has " + std::to_string(logical_block_size) + "-byte blocks";
      return refuse(TableRefusal::blockSizeDiffers, refusal);
    }
    // The record's backup header and entries describe the end of the source
    // disk; they are not copied but made anew at this disk's end once the
    // primary ones are written (blockdev::relocateGptBackup).
    regions.push_back({"GPT header", record.header_offset, &record.header_bytes});
    regions.push_back({"GPT partition entries", record.entries_offset, &record.entries_bytes});
    if (!blockdev::gptFitsDisk(record.header_bytes, record.entries_bytes, device_size, logical_block_size, error)) {
      return refuse(TableRefusal::doesNotFit, refusal);
    }
  }
  if (!blockdev::regionsFit(regions, device_size, error)) {
    return refuse(TableRefusal::doesNotFit, refusal);
  }
  return true;
}

bool recordPartitionExtent(const SMBRData& record, unsigned logical_block_size, blockdev::PartitionExtent& extent,
                           std::string& error) {
  static const std::string none;
  return blockdev::partitionExtent(record.mbr_data, record.is_gpt ? record.header_bytes : none, record.entries_bytes,
                                   logical_block_size, record.partition_number, extent, error);
}
