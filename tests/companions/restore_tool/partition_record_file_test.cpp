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

void putLittleEndian(std::string& bytes, size_t at, size_t width, uint64_t value) {
  for (size_t i = 0; i < width; ++i) {
    bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

// A GPT header of 128 entries of 128 bytes each.
std::string gptHeader() {
  std::string header(92, '\0');
  header.replace(0, 8, "EFI PART");
  putLittleEndian(header, 12, 4, 92);
  putLittleEndian(header, 80, 4, 128);
  putLittleEndian(header, 84, 4, 128);
  return header;
}

// Entries whose one partition, the second, takes blocks 2048 to 4095.
std::string gptEntries() {
  std::string entries(128 * 128, '\0');
  entries.replace(128, 16, std::string(16, 'T'));
  putLittleEndian(entries, 128 + 32, 8, 2048);
  putLittleEndian(entries, 128 + 40, 8, 4095);
  return entries;
}

struct GptRegions {
  int64_t header_offset = 512;
  std::string header = gptHeader();
  int64_t entries_offset = 1024;
  std::string entries = gptEntries();
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
  // Its entries count 512-byte sectors: on 4 KiB blocks they would point
  // eight times further in.
  EXPECT_FALSE(planTableRegions(record, 1 << 20, 4096, regions, error));
  EXPECT_NE(error.find("4096"), std::string::npos) << error;
}

// The backup pair describes the source disk's end; it is made anew at the
// target's end after writing, so only the primary regions are planned.
TEST(TableRegions, GptRecordWritesThePrimaryRegionsOnly) {
  const GptRegions gpt;
  const SMBRData record = decode(encode(1, "x", gpt));
  std::vector<blockdev::TableRegion> regions;
  std::string error;
  ASSERT_TRUE(planTableRegions(record, 64 << 20, 512, regions, error)) << error;
  ASSERT_EQ(regions.size(), 3u);
  EXPECT_EQ(regions[0].offset, 0);
  EXPECT_EQ(regions[1].offset, 512);
  EXPECT_EQ(*regions[1].bytes, gpt.header);
  EXPECT_EQ(regions[2].offset, 1024);
  EXPECT_EQ(*regions[2].bytes, gpt.entries);
}

TEST(TableRegions, SmallerDiskFitsWhenEveryPartitionEndsBeforeItsLastUsableBlock) {
  const SMBRData record = decode(encode(1, "x", GptRegions{}));
  std::vector<blockdev::TableRegion> regions;
  std::string error;
  // Block 4095 ends the partition; the backup entries (32 blocks) and header
  // (1 block) follow it on the smallest disk that holds it.
  constexpr uint64_t smallest = (4096 + 32 + 1) * 512;
  EXPECT_TRUE(planTableRegions(record, smallest, 512, regions, error)) << error;
  TableRefusal refusal = TableRefusal::noTable;
  EXPECT_FALSE(planTableRegions(record, smallest - 512, 512, regions, error, &refusal));
  EXPECT_EQ(refusal, TableRefusal::doesNotFit);
  EXPECT_NE(error.find("partition 2"), std::string::npos) << error;
  EXPECT_NE(error.find("smaller"), std::string::npos) << error;
}

TEST(TableRegions, RefusesBeforeWritingWhatWouldNotFitOrNotMatch) {
  const GptRegions gpt;
  const SMBRData record = decode(encode(1, "x", gpt));
  const uint64_t disk = 64 << 20;
  std::vector<blockdev::TableRegion> regions;
  std::string error;

  TableRefusal refusal = TableRefusal::noTable;
  EXPECT_FALSE(planTableRegions(record, disk, 4096, regions, error, &refusal));
  EXPECT_EQ(refusal, TableRefusal::blockSizeDiffers);
  EXPECT_NE(error.find("4096"), std::string::npos);

  GptRegions negative;
  negative.entries_offset = -512;
  EXPECT_FALSE(planTableRegions(decode(encode(1, "x", negative)), disk, 512, regions, error));

  // Offset + length passes the largest signed 64-bit value.
  GptRegions huge;
  huge.entries_offset = INT64_MAX - 10;
  EXPECT_FALSE(planTableRegions(decode(encode(1, "x", huge)), static_cast<uint64_t>(INT64_MAX), 512, regions, error));

  GptRegions empty;
  empty.entries.clear();
  error.clear();
  EXPECT_FALSE(planTableRegions(decode(encode(1, "x", empty)), disk, 512, regions, error));
  EXPECT_NE(error.find("empty"), std::string::npos);

  GptRegions unsigned_header;
  unsigned_header.header = std::string(92, 'H');
  error.clear();
  EXPECT_FALSE(planTableRegions(decode(encode(1, "x", unsigned_header)), disk, 512, regions, error));
  EXPECT_NE(error.find("EFI PART"), std::string::npos);
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
