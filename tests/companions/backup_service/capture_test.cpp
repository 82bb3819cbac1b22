// Capturing partitions into the store with the real backup-service program.
#include <gtest/gtest.h>

#include <map>

#include "common/backup_service_process.h"
#include "common/temp_dir.h"
#include "disk_images.h"
#include "protocol/mbr_record.h"
#include "rig/rig_fixture.h"
#include "store.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;

// Position -> block, read back from an image's blocks.bin.
std::map<int64_t, std::string> storedBlocks(const Store& store, const ImageMeta& image) {
  const std::string all = readBytes(store.blocksPath(image), 0, 1u << 30);
  std::map<int64_t, std::string> blocks;
  for (size_t at = 0; at + kBlockRecordSize <= all.size(); at += kBlockRecordSize) {
    uint64_t position = 0;
    for (int i = 0; i < 8; ++i) {
      position |= static_cast<uint64_t>(static_cast<unsigned char>(all[at + i])) << (8 * i);
    }
    blocks[static_cast<int64_t>(position)] = all.substr(at + 8, kBlockSize);
  }
  EXPECT_EQ(all.size() % kBlockRecordSize, 0u);
  return blocks;
}

SMBRData storedRecord(const Store& store, const ImageMeta& image, std::string& bytes) {
  bytes = readBytes(store.recordPath(image), 0, 1u << 20);
  CRData reader(bytes.data(), bytes.size(), false);
  return SMBRData(reader);
}

}  // namespace

TEST(BackupServiceCapture, StoresOnlyTheBlocksThatHoldData) {
  TempDir dir;
  const auto disk = dir.path() / "disk.img";
  // Partition 2 is 2049 sectors: its last block is 512 bytes long.
  makeDiskImage(disk, 32 * kMiB, "label: gpt\nsize=4M\nsize=2049\n");
  const auto partition = readWithSfdisk(disk).partitions[1];
  const int64_t start = partition.start_sector * 512;
  const int64_t length = partition.sectors * 512;
  writeBytes(disk, start, patternBlock(1));
  writeBytes(disk, start + 100 * 4096, patternBlock(2));
  writeBytes(disk, start + 200 * 4096 + 4000, "x");  // one byte makes the block count
  writeBytes(disk, start + 256 * 4096, patternBlock(3).substr(0, 512));
  writeBytes(disk, start + length, patternBlock(4));  // beyond the partition: not part of it

  const Store store(dir.path() / "store");
  const int id = captureWithBackupService({.store = store.root(), .client = "alpha", .disk = disk.string(),
                                           .partition = 2, .letter = "D", .time = 1500000000,
                                           .associatedTo = 0, .allowPlainFile = true});
  const auto image = store.findImage(id);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->client, "alpha");
  EXPECT_EQ(image->letter, "D");
  EXPECT_EQ(image->time, 1500000000);
  EXPECT_EQ(image->date, "2017-07-14 02:40");
  EXPECT_EQ(image->image_size, length);
  EXPECT_EQ(image->data_blocks, 4);

  const auto blocks = storedBlocks(store, *image);
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks.at(0), patternBlock(1));
  EXPECT_EQ(blocks.at(100 * 4096), patternBlock(2));
  EXPECT_EQ(blocks.at(200 * 4096), readBytes(disk, start + 200 * 4096, 4096));
  EXPECT_EQ(blocks.at(256 * 4096), patternBlock(3).substr(0, 512) + std::string(4096 - 512, '\0'));

  std::string bytes;
  const SMBRData record = storedRecord(store, *image, bytes);
  ASSERT_FALSE(record.decode_failed);
  EXPECT_EQ(record.partition_number, 2);
  EXPECT_TRUE(record.is_gpt);
  EXPECT_EQ(record.mbr_data, readBytes(disk, 0, 512));
}

TEST(BackupServiceCapture, RefusesUnsafeOrInvalidRequests) {
  TempDir dir;
  const auto disk = dir.path() / "disk.img";
  makeDiskImage(disk, 16 * kMiB, "label: dos\nsize=4M\n");
  const std::string store = (dir.path() / "store").string();
  const auto capture = [&](std::vector<std::string> extra) {
    std::vector<std::string> arguments{"capture", "--store", store, "--disk", disk.string(), "--partition", "1"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return runBackupService(arguments);
  };

  auto run = capture({"--client", "alpha", "--letter", "C"});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.errors.find("is not a block device"), std::string::npos) << run.errors;

  for (const std::string bad_client : {"a|b", "../x", "a#pw=b", ""}) {
    run = capture({"--client", bad_client, "--letter", "C", "--allow-plain-file"});
    EXPECT_NE(run.status, 0) << bad_client;
  }
  run = capture({"--client", "alpha", "--letter", "C|D", "--allow-plain-file"});
  EXPECT_NE(run.status, 0);
  run = capture({"--client", "alpha", "--letter", "C", "--allow-plain-file", "--associated-to", "7"});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.errors.find("not a top-level image"), std::string::npos) << run.errors;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(store) / "clients" / "alpha" / "1"));

  run = capture({"--client", "alpha", "--letter", "C", "--allow-plain-file"});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.output, "1\n");
  run = capture({"--client", "beta", "--letter", "C", "--allow-plain-file", "--associated-to", "1"});
  EXPECT_NE(run.status, 0) << "an image belongs to images of its own client only";
}

TEST(BackupServiceCapture, ListShowsClientsImagesAndAssociations) {
  TempDir dir;
  const auto disk = dir.path() / "disk.img";
  makeDiskImage(disk, 16 * kMiB, "label: dos\nsize=4M\nsize=4M\n");
  const auto store = dir.path() / "store";
  const int first = captureWithBackupService({.store = store, .client = "zeta", .disk = disk.string(),
                                              .partition = 1, .letter = "SYSVOL", .time = {}, .associatedTo = 0,
                                              .allowPlainFile = true});
  const int second = captureWithBackupService({.store = store, .client = "zeta", .disk = disk.string(),
                                               .partition = 2, .letter = "C", .time = {}, .associatedTo = first,
                                               .allowPlainFile = true});
  EXPECT_EQ(second, first + 1);
  const auto password = dir.write("password", "pw\n");
  ASSERT_EQ(runBackupService({"adduser", "--store", store.string(), "--user", "admin", "--password-file",
                              password.string()}).status, 0);

  const auto run = runBackupService({"list", "--store", store.string()});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_NE(run.output.find("client zeta"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("  image " + std::to_string(first)), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("associated to " + std::to_string(first) + ": image " + std::to_string(second)),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("user admin"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("open store"), std::string::npos) << run.output;
}

TEST(BackupServiceCapture, CapturesAPartitionOfALoopDisk) {
  SKIP_WITHOUT_RIG();
  Rig rig({{"source", "internal", "128M"}});
  rig.partition("source", "label: gpt\nsize=48M\nsize=48M\n");
  rig.mkfs("source", 2, "ext4", "HOME");
  rig.fill("source", 2);
  TempDir dir;
  const Store store(dir.path() / "store");

  const auto refused = runBackupService({"capture", "--store", store.root().string(), "--client", "pc", "--disk",
                                         rig.partition("source", 2), "--partition", "1", "--letter", "C"});
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.errors.find("is a partition"), std::string::npos) << refused.errors;

  const int id = captureWithBackupService(
      {.store = store.root(), .client = "pc", .disk = rig.device("source"), .partition = 2, .letter = "E", .time = {}, .associatedTo = 0,
       .allowPlainFile = false});
  const auto image = store.findImage(id);
  ASSERT_TRUE(image);
  const std::string contents = readBytes(rig.partition("source", 2), 0, 48 * kMiB);
  ASSERT_EQ(contents.size(), static_cast<size_t>(48 * kMiB));
  EXPECT_EQ(image->image_size, 48 * kMiB);

  // Every block of the partition is either stored exactly or zero.
  const auto blocks = storedBlocks(store, *image);
  EXPECT_GT(blocks.size(), 100u) << "a filled ext4 file system holds data";
  int64_t zero_blocks = 0;
  for (int64_t at = 0; at < 48 * kMiB; at += 4096) {
    const std::string block = contents.substr(static_cast<size_t>(at), 4096);
    const auto stored = blocks.find(at);
    if (stored == blocks.end()) {
      ASSERT_EQ(block, std::string(4096, '\0')) << "block at " << at << " holds data but was not stored";
      ++zero_blocks;
    } else {
      ASSERT_EQ(stored->second, block) << "block at " << at;
    }
  }
  EXPECT_EQ(zero_blocks + image->data_blocks, 48 * kMiB / 4096);

  std::string bytes;
  const SMBRData record = storedRecord(store, *image, bytes);
  ASSERT_FALSE(record.decode_failed);
  EXPECT_EQ(record.fsn, "ext4");
  EXPECT_EQ(record.volume_name, "HOME");
  EXPECT_EQ(record.partition_number, 2);
  EXPECT_EQ(record.header_offset, 512);
}
