#include "partition_table_restore.h"

#include <optional>

#include "block_target.h"
#include "child_process.h"
#include "partition_record_file.h"

namespace {

bool checkRegion(const TableRegion& region, uint64_t device_size, std::string& error) {
  if (region.bytes->empty()) {
    error = "the record's " + region.name + " is empty";
    return false;
  }
  const uint64_t length = region.bytes->size();
  if (region.offset < 0 || static_cast<uint64_t>(region.offset) > device_size ||
      length > device_size - static_cast<uint64_t>(region.offset)) {
    error = "the record's " + region.name + " (" + std::to_string(length) + " bytes at byte " +
            std::to_string(region.offset) + ") lies beyond the end of the target (" + std::to_string(device_size) +
            " bytes); the target disk is smaller than the backed-up disk";
    return false;
  }
  return true;
}

}  // namespace

bool planTableRegions(const SMBRData& record, uint64_t device_size, unsigned logical_block_size,
                      std::vector<TableRegion>& regions, std::string& error) {
  // Every MBR, a GPT disk's protective one too, ends its first sector with
  // 55 AA; without it the record holds no partition table at all.
  const std::string& mbr = record.mbr_data;
  if (mbr.size() < 512 || static_cast<unsigned char>(mbr[510]) != 0x55 || static_cast<unsigned char>(mbr[511]) != 0xAA) {
    error = "the record holds no MBR (no 55 AA boot signature in its first sector)";
    return false;
  }
  regions = {{"MBR", 0, &record.mbr_data}};
  if (record.is_gpt) {
    if (record.header_offset != static_cast<int64_t>(logical_block_size)) {
      error = "the record's GPT belongs on a disk with " + std::to_string(record.header_offset) +
              "-byte logical blocks, the target has " + std::to_string(logical_block_size) + "-byte blocks";
      return false;
    }
    regions.push_back({"GPT header", record.header_offset, &record.header_bytes});
    regions.push_back({"GPT partition entries", record.entries_offset, &record.entries_bytes});
    regions.push_back({"backup GPT partition entries", record.region3_offset, &record.region3_bytes});
    regions.push_back({"backup GPT header", record.region4_offset, &record.region4_bytes});
  }
  for (const TableRegion& region : regions) {
    if (!checkRegion(region, device_size, error)) {
      return false;
    }
  }
  return true;
}

int restoreMbrCommand(const std::string& record_path, const std::string& device, std::ostream& out) {
  std::string error;
  const std::optional<SMBRData> record = readPartitionRecordFile(record_path, error);
  BlockTarget target;
  std::vector<TableRegion> regions;
  if (record && target.open(device, DeviceKind::WholeDisk, error) &&
      planTableRegions(*record, target.size(), target.logicalBlockSize(), regions, error)) {
    bool written = true;
    for (const TableRegion& region : regions) {
      written = written && target.writeAll(static_cast<uint64_t>(region.offset), region.bytes->data(),
                                           region.bytes->size(), error);
    }
    if (written && target.sync(error) && target.rereadPartitionTable(error)) {
      target.close();
      if (kernelPartitionCount(device) > 0 || runProgram({"partprobe", device}, error)) {
        out << "Partition table restored successfully" << std::endl;
        return 0;
      }
    }
  }
  out << "error: " << error << std::endl;
  return 1;
}
