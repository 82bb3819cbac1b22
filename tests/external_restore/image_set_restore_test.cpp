#include "external_restore/image_set_restore.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "control/queues.h"
#include "control/shared_state.h"
#include "rig/rig_fixture.h"
#include "server_restore/progress.h"
#include "support/command.h"
#include "support/pause.h"
#include "support/text.h"

namespace {

// A restore tool that writes nothing: it records the partition-table and
// image writes in "calls", answers --mbr-info with the .mbr file's own text,
// fails partition tables of images whose path holds "badtable" and images
// whose path holds "fail". Paths holding "silent-table" or "killed-table" make
// the partition-table step exit 1 or die without a word; those holding
// "silent-image" or "killed-image" do the same for the image step; an image
// that gets as far as being written with "writes" in its path really
// overwrites the start of its partition.
constexpr const char* kRecordingTool = R"(#!/bin/sh
calls="$(dirname "$0")/calls"
case "$1" in
  --mbr-info) cat "$2" ;;
  --restore-mbr)
    echo "mbr $2 $4" >>"$calls"
    case "$2" in
      *silent-table*) exit 1 ;;
      *killed-table*) kill -9 $$ ;;
      *badtable*) echo "error: no partition table in the file" ;;
      *) echo "partition table written successfully" ;;
    esac ;;
  --restore-image)
    echo "image $2 $4" >>"$calls"
    case "$2" in
      *silent-image*) exit 1 ;;
      *killed-image*) kill -9 $$ ;;
      *writes*) printf 'OVERWRITTEN' | dd of="$4" conv=notrunc status=none ;;
    esac
    echo "Restoring 50%"
    case "$2" in
      *fail*) echo "write error on target" ;;
      *) echo "Image restored successfully" ;;
    esac ;;
esac
)";

class ScopedCwd {
public:
  explicit ScopedCwd(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCwd() { std::filesystem::current_path(old_); }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
  std::filesystem::path old_;
};

class ImageSetRestore : public ::testing::Test {
protected:
  void SetUp() override {
    work_ = dir_.write("work/keelbackrestoreclient", kRecordingTool).parent_path();
    std::filesystem::permissions(work_ / "keelbackrestoreclient", std::filesystem::perms::owner_all);
    resp_queue.clear();
    restorePointToProgress.clear();
    cancelrestore = false;
    previous_ = setPauseFunction([this](std::chrono::milliseconds) {
      if (cancelOnPause_) {
        cancelrestore = true;
      }
    });
  }

  void TearDown() override {
    setPauseFunction(previous_);
    cancelrestore = false;
    resp_queue.clear();
    restorePointToProgress.clear();
  }

  // An image of volume `volume` in backup point 170315-1030 whose partition
  // table file names `partitionInfo`.
  std::string image(const std::string& volume, const std::string& partitionInfo, const std::string& name = "d") {
    const std::string folder = "170315-1030_Image_" + volume;
    const auto path = dir_.write("B/" + folder + "/" + folder + "_" + name + ".vhd", "image");
    dir_.write("B/" + folder + "/" + folder + "_" + name + ".vhd.mbr", "device_number=1\n" + partitionInfo);
    return path.string();
  }

  std::vector<std::string> calls() { return split(getFile((work_ / "calls").string()), '\n'); }

  std::map<std::string, std::string> restore(const std::vector<std::string>& images, const std::string& target) {
    const ScopedCwd cwd(work_);
    DoRestoreForList(images, target);
    return restorePointToProgress.snapshot();
  }

  TempDir dir_;
  std::filesystem::path work_;
  PauseFunction previous_;
  bool cancelOnPause_ = false;
};

TEST_F(ImageSetRestore, TargetThatIsNotABlockDeviceIsNeverWritten) {
  const std::string c = image("C", "partition_number=1\n");
  const std::string file = dir_.write("not-a-disk", "keep").string();
  const auto table = restore({c}, file);
  EXPECT_EQ(table.at("C"), "ERROR");
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(getFile(file), "keep");
}

// The rest write partition tables "onto" a rig disk whose three partitions
// exist already, so that every partition node the restore asks for is real.
class ImageSetRestoreOnRig : public ImageSetRestore {
protected:
  void SetUp() override {
    ImageSetRestore::SetUp();
    std::string why;
    if (!Rig::available(&why)) {
      GTEST_SKIP() << why;
    }
    rig_ = std::make_unique<Rig>(std::vector<RigDiskSpec>{{"target", "internal", "64M"}});
    rig_->partition("target", "label: dos\nsize=8M\nsize=8M\nsize=8M\n");
    path_ = std::make_unique<ScopedEnv>("PATH", Rig::pathWithStandIns());
    disk_ = rig_->device("target");
  }

  void TearDown() override {
    path_.reset();
    rig_.reset();
    ImageSetRestore::TearDown();
  }

  std::unique_ptr<Rig> rig_;
  std::unique_ptr<ScopedEnv> path_;
  std::string disk_;
};

TEST_F(ImageSetRestoreOnRig, SystemVolumeBringsSysvolAndEspFirstEachAfterItsPartitionTable) {
  const std::string sysvol = image("SYSVOL", "partition_number=1\n");
  const std::string esp = image("ESP", "partition_number=2\n");
  const std::string c = image("C", "partition_number=3\n");
  const auto table = restore({c}, disk_);
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "mbr " + sysvol + ".mbr " + disk_, "image " + sysvol + " " + disk_ + "p1",
                         "mbr " + esp + ".mbr " + disk_, "image " + esp + " " + disk_ + "p2",
                         "mbr " + c + ".mbr " + disk_, "image " + c + " " + disk_ + "p3"}));
  EXPECT_EQ(table, (std::map<std::string, std::string>{{"C", "SUCCESS"}, {"ESPVOL", "SUCCESS"}, {"SYSVOL", "SUCCESS"}}));
}

TEST_F(ImageSetRestoreOnRig, SystemVolumeWithoutSiblingsIsRestoredAlone) {
  const std::string c = image("C", "partition_number=2\n");
  const auto table = restore({c}, disk_);
  EXPECT_EQ(calls(), (std::vector<std::string>{"mbr " + c + ".mbr " + disk_, "image " + c + " " + disk_ + "p2"}));
  EXPECT_EQ(table, (std::map<std::string, std::string>{{"C", "SUCCESS"}}));
}

TEST_F(ImageSetRestoreOnRig, AFailedImageIsMarkedAndTheListGoesOn) {
  const std::string d = image("D", "partition_number=1\n", "fail");
  const std::string e = image("E", "partition_number=2\n");
  const auto table = restore({d, e}, disk_);
  EXPECT_EQ(table, (std::map<std::string, std::string>{{"D", "ERROR"}, {"E", "SUCCESS"}}));
  EXPECT_EQ(calls().size(), 4u);
}

TEST_F(ImageSetRestoreOnRig, AFailedPartitionTableKeepsItsImageOffTheDisk) {
  const std::string d = image("D", "partition_number=1\n", "badtable");
  const std::string e = image("E", "partition_number=2\n");
  const auto table = restore({d, e}, disk_);
  EXPECT_EQ(table, (std::map<std::string, std::string>{{"D", "ERROR"}, {"E", "SUCCESS"}}));
  EXPECT_EQ(calls(), (std::vector<std::string>{"mbr " + d + ".mbr " + disk_, "mbr " + e + ".mbr " + disk_,
                                               "image " + e + " " + disk_ + "p2"}));
}

TEST_F(ImageSetRestoreOnRig, AToolThatFailsSilentlyOrIsKilledLeavesThePartitionAlone) {
  const std::string partition = disk_ + "p1";
  std::string output;
  const auto hashOf = [&] { return runCommand("sha256sum " + partition, output); };
  const std::vector<std::string> before = hashOf();
  ASSERT_FALSE(before.empty());
  for (const std::string name : {"silent-table-writes", "killed-table-writes", "silent-image", "killed-image"}) {
    restorePointToProgress.clear();
    const std::string d = image("D", "partition_number=1\n", name);
    EXPECT_EQ(restore({d}, disk_).at("D"), "ERROR") << name;
    EXPECT_EQ(hashOf(), before) << name;
  }
}

TEST_F(ImageSetRestoreOnRig, WithoutAPartitionNumberNothingIsWritten) {
  const std::string none = image("D", "");
  const std::string text = image("E", "partition_number=2; reboot\n");
  const std::string two = image("F", "partition_number=1\npartition_number=2\n");
  const auto table = restore({none, text, two}, disk_);
  EXPECT_EQ(table, (std::map<std::string, std::string>{{"D", "ERROR"}, {"E", "ERROR"}, {"F", "ERROR"}}));
  EXPECT_TRUE(calls().empty()) << "the whole disk must never receive an image";
}

TEST_F(ImageSetRestoreOnRig, APartitionThatNeverAppearsIsNotWritten) {
  const std::string d = image("D", "partition_number=7\n");
  const auto table = restore({d}, disk_);
  EXPECT_EQ(table.at("D"), "ERROR");
  EXPECT_EQ(calls(), std::vector<std::string>{"mbr " + d + ".mbr " + disk_});
}

TEST_F(ImageSetRestoreOnRig, CancelEndsTheListAfterTheCurrentImage) {
  const std::string sysvol = image("SYSVOL", "partition_number=1\n");
  image("ESP", "partition_number=2\n");
  const std::string c = image("C", "partition_number=3\n");
  const std::string d = image("D", "partition_number=3\n");
  cancelOnPause_ = true;
  restore({c, d}, disk_);
  EXPECT_EQ(calls(), (std::vector<std::string>{"mbr " + sysvol + ".mbr " + disk_, "image " + sysvol + " " + disk_ + "p1"}));
}

}  // namespace
