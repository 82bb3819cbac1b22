#include "partition_table_restore.h"

#include <optional>

#include "blockdev/block_device.h"
#include "blockdev/table_write.h"
#include "partition_record_file.h"

int restoreMbrCommand(const std::string& record_path, const std::string& device, std::ostream& out) {
  std::string error;
  const std::optional<SMBRData> record = readPartitionRecordFile(record_path, error);
  blockdev::BlockDevice target;
  std::vector<blockdev::TableRegion> regions;
  if (record && target.open(device, blockdev::DeviceKind::WholeDisk, error) &&
      planTableRegions(*record, target.size(), target.logicalBlockSize(), regions, error)) {
    if (blockdev::writePartitionTable(target, regions, record->is_gpt, error).step == blockdev::TableWriteStep::done) {
      out << "Partition table restored successfully" << std::endl;
      return 0;
    }
  }
  out << "error: " << error << std::endl;
  return 1;
}
