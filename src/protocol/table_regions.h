#pragma once
// A partition-table record as the regions written onto a disk, and where its
// partition lies by that table.
#include <cstdint>
#include <string>
#include <vector>

#include "blockdev/partition_table.h"
#include "protocol/mbr_record.h"

// Why a record's table cannot go onto a disk.
enum class TableRefusal {
  noTable,           // no MBR boot signature: the record holds no table
  blockSizeDiffers,  // a table made for disks with other logical blocks
  doesNotFit,        // a region or a partition lies beyond the disk's end
};

// The regions of `record` in writing order: the MBR at offset 0 and, for a
// GPT record, the primary header and entries (the backup pair is made anew
// at the target's end after writing, blockdev::relocateGptBackup). Checks,
// before anything is written, that the MBR carries its boot signature, that
// the table counts in the target's `logical_block_size`-byte blocks (512 for
// an MBR record; for a GPT record its header sits in the second block), that
// each region is present and lies inside a disk of `device_size` bytes, and
// that every GPT partition ends before that disk's last usable block. False
// with `error` (and `refusal`, when given) set when any check fails.
bool planTableRegions(const SMBRData& record, uint64_t device_size, unsigned logical_block_size,
                      std::vector<blockdev::TableRegion>& regions, std::string& error,
                      TableRefusal* refusal = nullptr);

// Where the record's own partition lies by its table on a disk with
// `logical_block_size`-byte blocks; false with `error` set when the table has
// no such partition.
bool recordPartitionExtent(const SMBRData& record, unsigned logical_block_size, blockdev::PartitionExtent& extent,
                           std::string& error);
