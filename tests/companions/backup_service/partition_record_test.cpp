// Reading partition tables from disks that the real sfdisk wrote, and the
// record the agent decodes from them.
#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "disk_images.h"
#include "partition_record.h"
#include "protocol/mbr_record.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;

SMBRData decode(const std::string& record) {
  CRData reader(record.data(), record.size(), false);
  return SMBRData(reader);
}

void expectRangesMatchSfdisk(const DiskTable& table, const std::filesystem::path& file) {
  const SfdiskTable expected = readWithSfdisk(file);
  ASSERT_FALSE(expected.partitions.empty());
  for (const SfdiskPartition& partition : expected.partitions) {
    SCOPED_TRACE("partition " + std::to_string(partition.number));
    PartitionRange range;
    std::string error;
    ASSERT_TRUE(partitionRange(table, partition.number, range, error)) << error;
    EXPECT_EQ(range.start, partition.start_sector * expected.sector_size);
    EXPECT_EQ(range.length, partition.sectors * expected.sector_size);
  }
}

}  // namespace

TEST(PartitionRecord, ReadsEveryGptStructureWhereTheHeadersPlaceIt) {
  TempDir dir;
  const auto disk = dir.path() / "gpt.img";
  makeDiskImage(disk, 64 * kMiB, "label: gpt\nsize=8M\nsize=2049\nsize=16M\n");
  DiskTable table;
  std::string error;
  ASSERT_TRUE(readDiskTable(disk.string(), table, error)) << error;

  EXPECT_TRUE(table.is_gpt);
  EXPECT_EQ(table.logical_block_size, 512u);
  EXPECT_EQ(table.disk_size, 64 * kMiB);
  EXPECT_EQ(table.mbr, readBytes(disk, 0, 512));
  EXPECT_EQ(table.header.offset, 512);
  EXPECT_EQ(table.header.bytes, readBytes(disk, 512, 92));
  EXPECT_EQ(table.entries.offset, 1024);
  EXPECT_EQ(table.entries.bytes, readBytes(disk, 1024, 16384));
  // sfdisk puts the backup header in the last sector and the backup array
  // right before it.
  EXPECT_EQ(table.backup_header.offset, 64 * kMiB - 512);
  EXPECT_EQ(table.backup_header.bytes, readBytes(disk, 64 * kMiB - 512, 92));
  EXPECT_EQ(table.backup_entries.offset, 64 * kMiB - 512 - 16384);
  EXPECT_EQ(table.backup_entries.bytes, table.entries.bytes);
  expectRangesMatchSfdisk(table, disk);

  PartitionRange range;
  EXPECT_FALSE(partitionRange(table, 4, range, error));
  EXPECT_NE(error.find("not in use"), std::string::npos) << error;
  EXPECT_FALSE(partitionRange(table, 129, range, error));
  EXPECT_FALSE(partitionRange(table, 0, range, error));
}

TEST(PartitionRecord, GptRecordDecodesToTheSameRegions) {
  TempDir dir;
  const auto disk = dir.path() / "gpt.img";
  makeDiskImage(disk, 32 * kMiB, "label: gpt\nsize=8M\nsize=8M\n");
  DiskTable table;
  std::string error;
  ASSERT_TRUE(readDiskTable(disk.string(), table, error)) << error;
  RecordIdentity identity{3, 2, "SER-42", "DATA", "ext4", ""};
  const SMBRData record = decode(encodePartitionRecord(table, identity));

  ASSERT_FALSE(record.decode_failed);
  EXPECT_EQ(record.version, 1);
  EXPECT_TRUE(record.is_gpt);
  EXPECT_EQ(record.device_number, 3);
  EXPECT_EQ(record.partition_number, 2);
  EXPECT_EQ(record.serial_number, "SER-42");
  EXPECT_EQ(record.volume_name, "DATA");
  EXPECT_EQ(record.fsn, "ext4");
  EXPECT_EQ(record.mbr_data, table.mbr);
  EXPECT_EQ(record.header_offset, 512) << "equals the logical block size the restore checks against";
  EXPECT_EQ(record.header_bytes, table.header.bytes);
  EXPECT_EQ(record.entries_offset, table.entries.offset);
  EXPECT_EQ(record.entries_bytes, table.entries.bytes);
  // The restore writes region 3 then region 4: the array before its header.
  EXPECT_EQ(record.region3_offset, table.backup_entries.offset);
  EXPECT_EQ(record.region3_bytes, table.backup_entries.bytes);
  EXPECT_EQ(record.region4_offset, table.backup_header.offset);
  EXPECT_EQ(record.region4_bytes, table.backup_header.bytes);
  EXPECT_TRUE(record.errmsg.empty());
}

TEST(PartitionRecord, MbrDiskOffersItsPrimaryPartitionsOnly) {
  TempDir dir;
  const auto disk = dir.path() / "mbr.img";
  makeDiskImage(disk, 64 * kMiB, "label: dos\n1 : size=8M\n2 : size=4M\n3 : size=30M, type=5\n5 : size=8M\n");
  DiskTable table;
  std::string error;
  ASSERT_TRUE(readDiskTable(disk.string(), table, error)) << error;
  EXPECT_FALSE(table.is_gpt);

  for (const int primary : {1, 2}) {
    PartitionRange range;
    ASSERT_TRUE(partitionRange(table, primary, range, error)) << error;
    const auto expected = readWithSfdisk(disk).partitions[static_cast<size_t>(primary - 1)];
    EXPECT_EQ(range.start, expected.start_sector * 512);
    EXPECT_EQ(range.length, expected.sectors * 512);
  }
  PartitionRange range;
  EXPECT_FALSE(partitionRange(table, 3, range, error));
  EXPECT_NE(error.find("extended"), std::string::npos) << error;
  EXPECT_FALSE(partitionRange(table, 5, range, error));
  EXPECT_NE(error.find("logical"), std::string::npos) << error;
  EXPECT_FALSE(partitionRange(table, 4, range, error));

  const SMBRData record = decode(encodePartitionRecord(table, RecordIdentity{0, 1, "", "", "", ""}));
  ASSERT_FALSE(record.decode_failed);
  EXPECT_EQ(record.version, 0);
  EXPECT_FALSE(record.is_gpt);
  EXPECT_EQ(record.mbr_data, readBytes(disk, 0, 512));
  EXPECT_EQ(record.partition_number, 1);
}

TEST(PartitionRecord, RefusesDisksWithoutAConsistentTable) {
  TempDir dir;
  std::string error;
  DiskTable table;

  const auto blank = dir.path() / "blank.img";
  std::filesystem::resize_file(dir.write("blank.img", ""), 4 * kMiB);
  EXPECT_FALSE(readDiskTable(blank.string(), table, error));
  EXPECT_NE(error.find("no partition table"), std::string::npos) << error;

  EXPECT_FALSE(readDiskTable((dir.path() / "missing.img").string(), table, error));

  const auto damaged = dir.path() / "damaged.img";
  makeDiskImage(damaged, 16 * kMiB, "label: gpt\nsize=4M\n");
  writeBytes(damaged, 16 * kMiB - 512, std::string(512, '\0'));
  EXPECT_FALSE(readDiskTable(damaged.string(), table, error));
  EXPECT_NE(error.find("backup GPT header"), std::string::npos) << error;

  // A table that claims more disk than there is (an image cut short).
  const auto cut = dir.path() / "cut.img";
  makeDiskImage(cut, 16 * kMiB, "label: dos\nsize=12M\n");
  std::filesystem::resize_file(cut, 8 * kMiB);
  ASSERT_TRUE(readDiskTable(cut.string(), table, error)) << error;
  PartitionRange range;
  EXPECT_FALSE(partitionRange(table, 1, range, error));
  EXPECT_NE(error.find("beyond the end"), std::string::npos) << error;
}
