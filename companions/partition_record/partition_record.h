#pragma once
// Reading a disk's partition table as it lies on the disk, and encoding it as
// the partition-table record that the backup service hands out and the restore
// side writes back (layout in docs/WIRE_FORMATS.md). Nothing here writes to a
// disk: every device is opened read-only.
#include <cstdint>
#include <string>

// One region of the GPT structures: where it lies on the disk and its bytes.
struct DiskRegion {
  int64_t offset = 0;
  std::string bytes;
};

struct DiskTable {
  uint32_t logical_block_size = 512;
  int64_t disk_size = 0;
  std::string mbr;  // the first 512 bytes
  bool is_gpt = false;
  // Only with is_gpt; the header regions hold exactly the header-size bytes
  // that the header announces, the entry arrays entry count x entry size.
  DiskRegion header;
  DiskRegion entries;
  DiskRegion backup_entries;
  DiskRegion backup_header;
};

struct PartitionRange {
  int64_t start = 0;   // byte offset on the disk
  int64_t length = 0;  // bytes
};

// The identity fields of the record; everything the disk itself does not say.
struct RecordIdentity {
  int device_number = 0;
  int partition_number = 0;
  std::string serial_number;
  std::string volume_name;
  std::string fsn;
  std::string errmsg;
};

// Reads the table of `disk` (a block device, or a plain file holding a disk
// image). False with a reason in `error` when the disk cannot be read or holds
// no table whose structures are consistent with the disk's size.
bool readDiskTable(const std::string& disk, DiskTable& table, std::string& error);

// The byte range of partition `number` (counting from 1). MBR disks offer the
// four primary entries only: logical partitions live in chained boot records
// that the record does not carry, so a restore could not recreate them.
bool partitionRange(const DiskTable& table, int number, PartitionRange& range, std::string& error);

// Record version 0 for MBR disks, 1 for GPT disks.
std::string encodePartitionRecord(const DiskTable& table, const RecordIdentity& identity);
