#include "protocol/restore_target.h"

#include "blockdev/target_gate.h"
#include "protocol/table_regions.h"

namespace {

bool refuse(RestoreTarget& target, TargetRefusal why, TargetRefusal& refusal) {
  target.device.close();
  refusal = why;
  return false;
}

}  // namespace

bool admitRestoreTarget(const SMBRData& record, const std::string& disk, const std::vector<std::string>& inventory,
                        RestoreTarget& target, TargetRefusal& refusal, std::string& why) {
  if (!blockdev::admitTarget(disk, inventory, target.device, why)) {
    return refuse(target, TargetRefusal::target, refusal);
  }
  const uint64_t size = target.device.size();
  const unsigned blockSize = target.device.logicalBlockSize();
  TableRefusal tableRefusal = TableRefusal::noTable;
  if (!planTableRegions(record, size, blockSize, target.regions, why, &tableRefusal)) {
    return refuse(target,
                  tableRefusal == TableRefusal::blockSizeDiffers ? TargetRefusal::blockSizeDiffers
                  : tableRefusal == TableRefusal::doesNotFit     ? TargetRefusal::doesNotFit
                                                                 : TargetRefusal::noTable,
                  refusal);
  }
  // The image goes where the table puts its partition: that must lie on this
  // disk too, or the restore would fail only after the table was replaced.
  if (!recordPartitionExtent(record, blockSize, target.partition, why)) {
    return refuse(target, TargetRefusal::noPartition, refusal);
  }
  const blockdev::PartitionExtent& partition = target.partition;
  if (partition.start > size || partition.size > size - partition.start) {
    why = "partition " + std::to_string(record.partition_number) + " ends at byte " +
          std::to_string(partition.start + partition.size) + ", " + disk + " has " + std::to_string(size) + " bytes";
    return refuse(target, TargetRefusal::doesNotFit, refusal);
  }
  return true;
}
