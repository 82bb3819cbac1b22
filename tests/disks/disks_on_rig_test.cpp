// lsblk(), getPartitionPath() and GetDiskInfo() against loop-device disks,
// through the rig's stand-ins for sudo, lsblk and udevadm.
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "disks/block_devices.h"
#include "disks/disk_inventory.h"
#include "rig/rig_fixture.h"

using ::testing::HasSubstr;

namespace {

// The agent's commands write the scratch file "out" into the working
// directory; each test gets its own.
class ScopedWorkingDirectory {
public:
  explicit ScopedWorkingDirectory(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedWorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(old_, ignored);
  }
  ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
  ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

private:
  std::filesystem::path old_;
};

class DisksOnRig : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT_RIG();
    rig_ = std::make_unique<Rig>(std::vector<RigDiskSpec>{{"target", "internal", "192M", "Internal SSD 480GB"},
                                                          {"stick", "usb", "128M", "Flash Drive"}});
    rig_->partition("target", "label: gpt\nsize=32M\nsize=48M\nsize=16M\n");
    rig_->mkfs("target", 1, "vfat", "EFI");
    rig_->mkfs("target", 2, "ext4");
    rig_->partition("stick", "label: dos\nsize=64M, type=7\n");
    rig_->mkfs("stick", 1, "ntfs");
    work_ = std::make_unique<TempDir>();
    cwd_ = std::make_unique<ScopedWorkingDirectory>(work_->path());
    path_ = std::make_unique<ScopedEnv>("PATH", Rig::pathWithStandIns());
    state_ = std::make_unique<ScopedEnv>("RIG_STATE", rig_->state().string());
  }
  void TearDown() override {
    // The rig goes before the scratch directory: it unmounts what a failed
    // test may have left mounted inside it.
    state_.reset();
    path_.reset();
    cwd_.reset();
    rig_.reset();
    work_.reset();
  }

  std::string target() const { return rig_->device("target"); }
  std::string stick() const { return rig_->device("stick"); }

  std::unique_ptr<Rig> rig_;
  std::unique_ptr<TempDir> work_;
  std::unique_ptr<ScopedWorkingDirectory> cwd_;
  std::unique_ptr<ScopedEnv> path_;
  std::unique_ptr<ScopedEnv> state_;
};

}  // namespace

TEST_F(DisksOnRig, ListsTheDiskThenItsPartitionsWithDeviceNodes) {
  const std::vector<SLsblk> rows = lsblk(target());
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].type, "disk");
  EXPECT_EQ(rows[0].model, "Internal SSD 480GB");
  EXPECT_EQ(rows[0].size, "192M");
  EXPECT_EQ(rows[0].devname, target());
  EXPECT_THAT(rows[0].maj_min, ::testing::StartsWith("7:"));
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(rows[n].type, "part");
    EXPECT_EQ(rows[n].model, "");
    EXPECT_EQ(rows[n].devname, rig_->partition("target", n));
  }
  EXPECT_EQ(rows[2].size, "48M");
  EXPECT_TRUE(std::filesystem::exists(work_->path() / "out")) << "the scratch file lives in the working directory";
}

TEST_F(DisksOnRig, PartitionPathByPartitionNumber) {
  EXPECT_EQ(getPartitionPath(target(), 1), rig_->partition("target", 1));
  EXPECT_EQ(getPartitionPath(target(), 3), rig_->partition("target", 3));
  EXPECT_EQ(getPartitionPath(stick(), 1), rig_->partition("stick", 1));
  EXPECT_EQ(getPartitionPath(target(), 0), "");
  EXPECT_EQ(getPartitionPath(target(), 4), "");
  EXPECT_EQ(getPartitionPath(target(), -1), "");
}

TEST_F(DisksOnRig, DeviceNameFromTheUserInterfaceStaysOneWord) {
  const std::vector<std::string> hostile{target() + "; touch pwned1", "$(touch pwned2)", "`touch pwned3`",
                                         target() + "' ; touch pwned4 ; '"};
  for (const auto& device : hostile) {
    EXPECT_TRUE(lsblk(device).empty()) << device;
    EXPECT_EQ(getPartitionPath(device, 1), "") << device;
  }
  for (const char* file : {"pwned1", "pwned2", "pwned3", "pwned4"}) {
    EXPECT_FALSE(std::filesystem::exists(work_->path() / file)) << file;
  }
}

TEST_F(DisksOnRig, InternalDisksAsRestoreTargets) {
  ::testing::internal::CaptureStdout();
  const Json::Value inventory = GetDiskInfo(false);
  const std::string log = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(inventory.isArray());
  ASSERT_EQ(inventory.size(), 1u);
  const Json::Value& disk = inventory[0];
  EXPECT_EQ(disk["Device"].asString(), target());
  EXPECT_EQ(disk["Model"].asString(), "Internal SSD 480GB");
  EXPECT_EQ(disk["Size"].asString(), std::to_string(192LL << 20));
  ASSERT_EQ(disk["partitions"].size(), 3u);
  const std::string kernelName = target().substr(5);
  const std::vector<std::pair<std::string, std::string>> expected{{"vfat", std::to_string(32LL << 20)},
                                                                  {"ext4", std::to_string(48LL << 20)},
                                                                  {"", std::to_string(16LL << 20)}};
  for (int n = 0; n < 3; ++n) {
    const Json::Value& partition = disk["partitions"][n];
    EXPECT_EQ(partition["name"].asString(), kernelName + "p" + std::to_string(n + 1));
    EXPECT_EQ(partition["FsType"].asString(), expected[n].first);
    EXPECT_EQ(partition["size"].asString(), expected[n].second);
    EXPECT_EQ(partition["MOUNTPOINT"].asString(), "");
    EXPECT_EQ(partition["used_size"].asString(), "");
  }
  EXPECT_THAT(log, HasSubstr("Disk is NAME=\"" + target() + "\" TYPE=\"disk\""));
  EXPECT_THAT(log, HasSubstr("Part is NAME=\"" + rig_->partition("target", 2) + "\""));
  EXPECT_THAT(log, HasSubstr(target() + "  ata\n"));
  EXPECT_THAT(log, HasSubstr(stick() + "  usb\n"));
}

TEST_F(DisksOnRig, UsbDisksAsSourcesWithTheirMountPoints) {
  const auto mountPoint = work_->path() / "mounted";
  rig_->mount("stick", 1, mountPoint);
  ::testing::internal::CaptureStdout();
  const Json::Value inventory = GetDiskInfo(true);
  ::testing::internal::GetCapturedStdout();
  rig_->umount(mountPoint);

  ASSERT_EQ(inventory.size(), 1u);
  EXPECT_EQ(inventory[0]["Device"].asString(), stick());
  EXPECT_EQ(inventory[0]["Model"].asString(), "Flash Drive");
  ASSERT_EQ(inventory[0]["partitions"].size(), 1u);
  const Json::Value& partition = inventory[0]["partitions"][0];
  EXPECT_EQ(partition["name"].asString(), stick().substr(5) + "p1");
  EXPECT_EQ(partition["FsType"].asString(), "ntfs");
  EXPECT_EQ(partition["MOUNTPOINT"].asString(), mountPoint.string());
}

TEST(DisksOnRigAlone, NoQualifyingDiskGivesNull) {
  SKIP_WITHOUT_RIG();
  Rig rig({{"only", "internal", "64M"}});
  TempDir work;
  ScopedWorkingDirectory cwd(work.path());
  ScopedEnv path("PATH", Rig::pathWithStandIns());
  ScopedEnv state("RIG_STATE", rig.state().string());

  ::testing::internal::CaptureStdout();
  const Json::Value usb = GetDiskInfo(true);
  const Json::Value internal = GetDiskInfo(false);
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(usb.isNull());
  ASSERT_EQ(internal.size(), 1u);
  EXPECT_EQ(internal[0].getMemberNames(), (std::vector<std::string>{"Device", "Model", "Size"}))
      << "a disk without partitions";

  ScopedEnv noRig("RIG_STATE", "");
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(GetDiskInfo(false).isNull());
  EXPECT_THAT(::testing::internal::GetCapturedStdout(), HasSubstr("Disk is empty"));
}
