#include "external_restore/drive_mount.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace {

TEST(MountFolder, NamesPartitionAndTimeOfDay) {
  std::tm time{};
  time.tm_hour = 14;
  time.tm_min = 3;
  time.tm_sec = 59;
  EXPECT_EQ(mountFolderFor("sdb1", time), "/mnt/sdb1_14_03_59/");
  EXPECT_NE(mountFolderFor("sdb1", time), mountFolderFor("sdb2", time));
  time.tm_hour = 0;
  time.tm_min = 0;
  time.tm_sec = 0;
  EXPECT_EQ(mountFolderFor("loop3p2", time), "/mnt/loop3p2_00_00_00/");
}

TEST(MountType, NtfsThroughNtfs3gBtrfsAsItselfAndTheRestDetected) {
  EXPECT_EQ(mountTypeFor("ntfs"), "ntfs-3g");
  EXPECT_EQ(mountTypeFor("btrfs"), "btrfs");
  for (const char* other : {"vfat", "ext4", "exfat", "", "BTRFS"}) {
    EXPECT_EQ(mountTypeFor(other), "") << other;
  }
  // Without a type, mount finds it; the options stay.
  EXPECT_EQ(mountCommand("/dev/sdb1", "", "/mnt/x/"), "sudo mount -o ro,nosuid,nodev,noexec '/dev/sdb1'  '/mnt/x/'> out 2>&1");
}

Json::Value partition(const std::string& name, const std::string& mountPoint) {
  Json::Value value;
  value["name"] = name;
  value["size"] = "1048576";
  value["FsType"] = "ntfs";
  value["MOUNTPOINT"] = mountPoint;
  value["used_size"] = "";
  return value;
}

// Partitions mounted before the request are searched where they are and
// never mounted or unmounted, so this needs no privileges.
TEST(MountBackupDrives, MountedPartitionsReportTheirBackupFolderOrNothing) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "with/TarnbyBMR_Backups/pc");
  std::filesystem::create_directories(dir.path() / "without/other");

  Json::Value disk;
  disk["Device"] = "/dev/sdb";
  disk["Model"] = "Stick";
  disk["Size"] = "2048";
  disk["partitions"].append(partition("sdb1", (dir.path() / "with").string()));
  disk["partitions"].append(partition("sdb2", (dir.path() / "without").string()));
  Json::Value bare;
  bare["Device"] = "/dev/sdc";
  Json::Value inventory;
  inventory.append(disk);
  inventory.append(bare);

  const Json::Value result = MountBackupDrives(inventory);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result[0]["partitions"][0]["MOUNTPOINT"].asString(), (dir.path() / "with/TarnbyBMR_Backups").string());
  EXPECT_EQ(result[0]["partitions"][1]["MOUNTPOINT"].asString(), "");
  // Everything else passes through as it came.
  EXPECT_EQ(result[0]["Model"].asString(), "Stick");
  EXPECT_EQ(result[0]["partitions"][1]["size"].asString(), "1048576");
  EXPECT_EQ(result[1], bare);
  EXPECT_FALSE(result[1].isMember("partitions"));
  // Both stay where they were.
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "without/other"));
}

TEST(MountBackupDrives, OddInventoriesPassThrough) {
  EXPECT_TRUE(MountBackupDrives(Json::Value()).isNull());
  Json::Value odd;
  odd.append("not a disk");
  Json::Value disk;
  disk["partitions"] = "not a list";
  odd.append(disk);
  EXPECT_EQ(MountBackupDrives(odd), odd);
}

}  // namespace
