// The target gate and the exclusive open on rig disks: each refusal says what
// is wrong with the target, and an admitted disk's claim moves with its
// BlockDevice.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "blockdev/block_device.h"
#include "blockdev/target_gate.h"
#include "common/temp_dir.h"
#include "rig/rig_fixture.h"
#include "support/unique_fd.h"

namespace {

class TargetRefusalOnRig : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT_RIG();
    rig_ = std::make_unique<Rig>(
        std::vector<RigDiskSpec>{{"disk", "internal", "16M"}, {"mounted", "internal", "16M"}, {"other", "internal", "16M"}});
    for (const char* name : {"disk", "mounted"}) {
      rig_->partition(name, "label: dos\nsize=4M, type=83\n");
    }
    rig_->mkfs("mounted", 1, "ext4");
    rig_->mount("mounted", 1, dir_.path() / "mnt");
    disk_ = rig_->device("disk");
    inventory_ = {disk_, rig_->device("mounted")};
    blockdev::rememberReportedTargets(inventory_);
  }
  void TearDown() override { blockdev::rememberReportedTargets({}); }

  TempDir dir_;
  std::unique_ptr<Rig> rig_;
  std::string disk_;
  std::vector<std::string> inventory_;
};

TEST_F(TargetRefusalOnRig, TheGateSaysWhyItRefuses) {
  struct Case {
    std::string name;
    std::string path;
    std::string reason;
    std::function<void()> before = nullptr;
  };
  UniqueFd holder;
  const std::vector<Case> cases{
      {"a relative path", disk_.substr(1), "is no absolute path under /dev"},
      {"a path that leaves /dev and comes back", "/dev/../dev/" + disk_.substr(5), "is no absolute path under /dev"},
      {"no block device", "/dev/null", "is not a block device"},
      {"a partition", rig_->partition("disk", 1), "is a partition; a restore target is a whole disk"},
      {"a disk the inventory does not list", rig_->device("other"), "is not one of the disks the inventory lists"},
      {"a disk with a mounted partition", rig_->device("mounted"),
       "is in use: partition " + rig_->partition("mounted", 1).substr(5) + " is mounted"},
      {"a disk another program holds", disk_, "is in use (mounted or held by another program): Device or resource busy",
       [&] { holder = UniqueFd(::open(disk_.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC)); }},
      {"a disk no report offered", disk_, "was not among the disks reported before the restore",
       [&] { blockdev::rememberReportedTargets({}); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before) {
      c.before();
    }
    blockdev::BlockDevice device;
    std::string error;
    EXPECT_FALSE(blockdev::admitTarget(c.path, inventory_, device, error));
    EXPECT_FALSE(device.isOpen());
    EXPECT_NE(error.find("target " + c.path + " "), std::string::npos) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    holder.reset();
  }
}

TEST_F(TargetRefusalOnRig, OpenRefusesTheWrongKindOfTarget) {
  const std::string file = dir_.write("image-target", std::string(8192, '.')).string();
  struct Case {
    std::string name;
    std::string path;
    blockdev::DeviceKind kind;
    std::string reason;
  };
  const std::vector<Case> cases{
      {"a missing node", "/dev/no-such-disk", blockdev::DeviceKind::WholeDisk,
       "cannot access target /dev/no-such-disk: No such file or directory"},
      {"a whole disk for an image", disk_, blockdev::DeviceKind::Partition,
       "is a whole disk; an image belongs on one of its partitions"},
      {"a partition for a table", rig_->partition("disk", 1), blockdev::DeviceKind::WholeDisk,
       "is a partition; a partition table belongs on a whole disk"},
      {"a file for an image restored by the tool", file, blockdev::DeviceKind::Partition, "is not a block device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    blockdev::BlockDevice device;
    std::string error;
    EXPECT_FALSE(device.open(c.path, c.kind, error));
    EXPECT_FALSE(device.isOpen());
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  // A file sized beforehand stands in for a device in a download.
  blockdev::BlockDevice device;
  std::string error;
  ASSERT_TRUE(device.open(file, blockdev::DeviceKind::ImageTarget, error)) << error;
  EXPECT_EQ(device.size(), 8192u);
}

// The exclusive claim lives as long as the descriptor, wherever the
// BlockDevice that owns it has been moved to.
TEST_F(TargetRefusalOnRig, AnAdmittedDiskKeepsItsClaimWhenMoved) {
  blockdev::BlockDevice admitted;
  std::string error;
  ASSERT_TRUE(blockdev::admitTarget(disk_, inventory_, admitted, error)) << error;
  const auto claimedElsewhere = [&] {
    const UniqueFd other(::open(disk_.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    return other.get() < 0;
  };
  auto moved = std::make_unique<blockdev::BlockDevice>(std::move(admitted));
  EXPECT_FALSE(admitted.isOpen());
  EXPECT_TRUE(moved->isOpen());
  EXPECT_EQ(moved->path(), disk_);
  EXPECT_TRUE(claimedElsewhere());
  moved.reset();
  EXPECT_FALSE(claimedElsewhere());
}

}  // namespace
