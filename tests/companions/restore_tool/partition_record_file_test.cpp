#include "partition_record_file.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "partition_table_restore.h"
#include "protocol/data.h"
#include "support/text.h"

namespace {

std::string mbrSector() {
  std::string mbr(512, '\0');
  mbr[510] = static_cast<char>(0x55);
  mbr[511] = static_cast<char>(0xAA);
  return mbr;
}

struct GptRegions {
  int64_t header_offset = 512;
  std::string header = std::string(92, 'H');
  int64_t entries_offset = 1024;
  std::string entries = std::string(16384, 'E');
  int64_t backup_entries_offset = 1'000'000 * 512LL;
  std::string backup_entries = std::string(16384, 'e');
  int64_t backup_header_offset = 1'000'032 * 512LL;
  std::string backup_header = std::string(92, 'h');
};

std::string encode(int version, const std::string& volume = "DATA", const GptRegions& gpt = {},
                   const std::string& errmsg = "", bool with_errmsg = true) {
  CWData data;
  data.addUChar(0);
  data.addUChar(static_cast<unsigned char>(version));
  data.addInt(10);
  data.addInt(2);
  data.addString("SER123");
  data.addString(volume);
  data.addString("ntfs");
  data.addString(mbrSector());
  if (version == 1) {
    data.addInt64(gpt.header_offset);
    data.addString(gpt.header);
    data.addInt64(gpt.entries_offset);
    data.addString(gpt.entries);
    data.addInt64(gpt.backup_entries_offset);
    data.addString(gpt.backup_entries);
    data.addInt64(gpt.backup_header_offset);
    data.addString(gpt.backup_header);
  }
  if (with_errmsg) {
    data.addString(errmsg);
  }
  return std::string(data.getDataPtr(), data.getDataSize());
}

SMBRData decode(const std::string& bytes) {
  CRData reader(bytes.data(), bytes.size(), false);
  return SMBRData(reader);
}

TEST(PartitionRecordFile, InfoListsEveryKeyOnItsOwnLine) {
  TempDir dir;
  const auto path = dir.write("x.vhd.mbr", encode(0, "DATA", {}, "", false));
  std::string error;
  const auto record = readPartitionRecordFile(path, error);
  ASSERT_TRUE(record) << error;
  const auto lines = split(mbrInfoText(*record), '\n');
  const std::vector<std::string> expected = {"version=0",     "device_number=10", "partition_number=2",
                                             "serial_number=SER123", "volume_name=DATA", "fsn=ntfs",
                                             "is_gpt=0",      "mbr_bytes=512",    "errmsg="};
  EXPECT_EQ(lines, expected);
}

TEST(PartitionRecordFile, GptRecordReportsItself) {
  TempDir dir;
  const auto path = dir.write("mbr.dat", encode(1, "", {}, "disk was busy"));
  std::string error;
  const auto record = readPartitionRecordFile(path, error);
  ASSERT_TRUE(record) << error;
  const std::string info = mbrInfoText(*record);
  EXPECT_NE(info.find("\nis_gpt=1\n"), std::string::npos);
  EXPECT_NE(info.find("\ngpt_entries_bytes=16384\n"), std::string::npos);
  EXPECT_NE(info.find("\nerrmsg=disk was busy\n"), std::string::npos);
  EXPECT_NE(info.find("\nvolume_name=\n"), std::string::npos);
}

TEST(PartitionRecordFile, ValuesNeverSpillOntoAnotherLine) {
  // A filter on "partition_number" must see exactly one line, whatever a
  // volume label holds.
  TempDir dir;
  const auto path = dir.write("x.mbr", encode(0, "a\npartition_number=7\rb"));
  std::string error;
  const auto record = readPartitionRecordFile(path, error);
  ASSERT_TRUE(record) << error;
  const auto lines = split(mbrInfoText(*record), '\n');
  int matches = 0;
  for (const auto& line : lines) {
    matches += line.rfind("partition_number=", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(matches, 1);
  EXPECT_EQ(lines.size(), 9u);
}

TEST(PartitionRecordFile, RefusesMissingDamagedAndForeignFiles) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(readPartitionRecordFile((dir.path() / "missing.mbr").string(), error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);

  const std::string gpt = encode(1);
  // Cut inside the second backup region.
  const auto cut = dir.write("cut.mbr", gpt.substr(0, gpt.size() - 60));
  error.clear();
  EXPECT_FALSE(readPartitionRecordFile(cut, error));
  EXPECT_NE(error.find("damaged"), std::string::npos);

  std::string version2 = encode(0);
  version2[1] = 2;
  error.clear();
  EXPECT_FALSE(readPartitionRecordFile(dir.write("v2.mbr", version2), error));

  error.clear();
  EXPECT_FALSE(readPartitionRecordFile(dir.write("empty.mbr", ""), error));
}

TEST(TableRegions, MbrRecordIsOneSectorAtOffsetZero) {
  const SMBRData record = decode(encode(0));
  std::vector<blockdev::TableRegion> regions;
  std::string error;
  ASSERT_TRUE(planTableRegions(record, 512, 512, regions, error)) << error;
  ASSERT_EQ(regions.size(), 1u);
  EXPECT_EQ(regions[0].offset, 0);
  EXPECT_EQ(regions[0].bytes->size(), 512u);
  EXPECT_FALSE(planTableRegions(record, 511, 512, regions, error));
}

TEST(TableRegions, GptRecordWritesFiveRegionsAtTheirPositions) {
  const GptRegions gpt;
  const SMBRData record = decode(encode(1, "x", gpt));
  const uint64_t disk_end = static_cast<uint64_t>(gpt.backup_header_offset) + gpt.backup_header.size();
  std::vector<blockdev::TableRegion> regions;
  std::string error;
  ASSERT_TRUE(planTableRegions(record, disk_end, 512, regions, error)) << error;
  ASSERT_EQ(regions.size(), 5u);
  EXPECT_EQ(regions[1].offset, 512);
  EXPECT_EQ(*regions[1].bytes, gpt.header);
  EXPECT_EQ(regions[2].offset, 1024);
  EXPECT_EQ(regions[3].offset, gpt.backup_entries_offset);
  EXPECT_EQ(*regions[4].bytes, gpt.backup_header);
}

TEST(TableRegions, RefusesBeforeWritingWhatWouldNotFitOrNotMatch) {
  const GptRegions gpt;
  const SMBRData record = decode(encode(1, "x", gpt));
  const uint64_t disk_end = static_cast<uint64_t>(gpt.backup_header_offset) + gpt.backup_header.size();
  std::vector<blockdev::TableRegion> regions;
  std::string error;

  EXPECT_FALSE(planTableRegions(record, disk_end - 1, 512, regions, error));
  EXPECT_NE(error.find("backup GPT header"), std::string::npos);
  EXPECT_NE(error.find("smaller"), std::string::npos);

  error.clear();
  EXPECT_FALSE(planTableRegions(record, disk_end, 4096, regions, error));
  EXPECT_NE(error.find("4096"), std::string::npos);

  GptRegions negative;
  negative.entries_offset = -512;
  EXPECT_FALSE(planTableRegions(decode(encode(1, "x", negative)), disk_end, 512, regions, error));

  // Offset + length passes the largest signed 64-bit value.
  GptRegions huge;
  huge.backup_header_offset = INT64_MAX - 10;
  EXPECT_FALSE(planTableRegions(decode(encode(1, "x", huge)), static_cast<uint64_t>(INT64_MAX), 512, regions, error));

  GptRegions empty;
  empty.backup_entries.clear();
  error.clear();
  EXPECT_FALSE(planTableRegions(decode(encode(1, "x", empty)), disk_end, 512, regions, error));
  EXPECT_NE(error.find("empty"), std::string::npos);
}

TEST(TableRegions, RefusesARecordWithoutBootSignature) {
  SMBRData record = decode(encode(0));
  record.mbr_data[511] = 0;
  std::vector<blockdev::TableRegion> regions;
  std::string error;
  EXPECT_FALSE(planTableRegions(record, 1 << 20, 512, regions, error));
  record.mbr_data.clear();
  EXPECT_FALSE(planTableRegions(record, 1 << 20, 512, regions, error));
  EXPECT_NE(error.find("55 AA"), std::string::npos);
}

}  // namespace
