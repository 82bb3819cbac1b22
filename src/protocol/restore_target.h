#pragma once
// A whole disk admitted as the target of one partition image: through the
// target gate, and with room for the image's partition table and partition.
// Both restore routes take their target through here before its first byte
// changes.
#include <string>
#include <vector>

#include "blockdev/block_device.h"
#include "blockdev/partition_table.h"
#include "protocol/mbr_record.h"

enum class TargetRefusal {
  target,            // the gate refused the disk (see admitTarget)
  noTable,           // the record holds no partition table
  blockSizeDiffers,  // a table made for disks with other logical blocks
  doesNotFit,        // a table region or the partition lies beyond the disk's end
  noPartition,       // the table has no partition of the record's number
};

struct RestoreTarget {
  blockdev::BlockDevice device;                  // open exclusively
  std::vector<blockdev::TableRegion> regions;    // the table, in writing order
  blockdev::PartitionExtent partition;           // where the image goes
};

// Admits `disk` against `inventory` (the device paths the disk inventory
// lists now) and plans `record`'s table onto it. False with the refusal and
// its reason (path and system error included) otherwise; the disk is closed
// and unchanged then.
bool admitRestoreTarget(const SMBRData& record, const std::string& disk, const std::vector<std::string>& inventory,
                        RestoreTarget& target, TargetRefusal& refusal, std::string& why);
