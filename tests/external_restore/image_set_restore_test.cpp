#include "external_restore/image_set_restore.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "common/temp_dir.h"
#include "control/queues.h"
#include "control/shared_state.h"
#include "disks/target_disks.h"
#include "rig/restore_targets.h"
#include "server_restore/progress.h"
#include "support/command.h"
#include "support/pause.h"
#include "support/text.h"

namespace {

// A restore tool whose partition-table file is sfdisk's dump of a table,
// written with sfdisk. Writes onto the agent's scratch disk (a loop device on
// the file "temp" beside the tool) always succeed and go unrecorded; on any
// other disk it records the partition-table and image writes in "calls",
// answers --mbr-info with the text of the .mbr file's ".info" companion,
// fails partition tables of images whose path holds "badtable" and images
// whose path holds "fail". Paths holding "silent-table" or "killed-table" make
// the partition-table step exit 1 or die without a word, and "pretends" makes
// it exit 0 without writing; those holding "silent-image" or "killed-image" do
// the same for the image step; an image that gets as far as being written
// with "writes" in its path really overwrites the start of its partition.
constexpr const char* kRecordingTool = R"tool(#!/bin/sh
calls="$(dirname "$0")/calls"
case "$1" in
  --mbr-info) cat "$2.info" ;;
  --restore-mbr)
    case "$(losetup -nO BACK-FILE "$4" 2>/dev/null)" in
      */temp) sfdisk -q "$4" <"$2" >/dev/null 2>&1; exit 0 ;;
    esac
    echo "mbr $2 $4" >>"$calls"
    case "$2" in
      *silent-table*) exit 1 ;;
      *killed-table*) kill -9 $$ ;;
      *pretends*) exit 0 ;;
      *badtable*) echo "no partition table in the file (format error)" ;;
      *) { sfdisk -q "$4" <"$2" && partprobe "$4"; } >/dev/null 2>&1 || echo "sfdisk error" ;;
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
)tool";

// The partition-table file of the recording tool for the table on `disk`.
std::string tableFileOf(const std::string& disk) { return runProgram({"sfdisk", "-d", disk}).output; }

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
  // table file holds `record` and for which the tool prints `partitionInfo`.
  std::string image(const std::string& volume, const std::string& partitionInfo, const std::string& name = "d",
                    const std::string& record = "no table") {
    const std::string folder = "170315-1030_Image_" + volume;
    const auto path = dir_.write("B/" + folder + "/" + folder + "_" + name + ".vhd", "image");
    dir_.write("B/" + folder + "/" + folder + "_" + name + ".vhd.mbr", record);
    dir_.write("B/" + folder + "/" + folder + "_" + name + ".vhd.mbr.info", "device_number=1\n" + partitionInfo);
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
// exist already, and the records are those of its own table, so that every
// partition the restore asks for is real and where the table puts it.
class ImageSetRestoreOnRig : public ImageSetRestore {
protected:
  void SetUp() override {
    ImageSetRestore::SetUp();
    SKIP_WITHOUT_RIG();
    rig_ = std::make_unique<Rig>(std::vector<RigDiskSpec>{{"target", "internal", "64M"}});
    rig_->partition("target", "label: dos\nsize=8M\nsize=8M\nsize=8M\n");
    inventory_ = std::make_unique<RigInventory>(*rig_);
    disk_ = rig_->device("target");
    reportTargetDisks();
  }

  void TearDown() override {
    inventory_.reset();
    rig_.reset();
    ImageSetRestore::TearDown();
  }

  // An image of partition `partition` of the target's own table.
  std::string image(const std::string& volume, int partition, const std::string& name = "d") {
    return ImageSetRestore::image(volume, "partition_number=" + std::to_string(partition) + "\n", name,
                                  tableFileOf(disk_));
  }

  std::unique_ptr<Rig> rig_;
  std::unique_ptr<RigInventory> inventory_;
  std::string disk_;
};

TEST_F(ImageSetRestoreOnRig, SystemVolumeBringsSysvolAndEspFirstEachAfterItsPartitionTable) {
  const std::string sysvol = image("SYSVOL", 1);
  const std::string esp = image("ESP", 2);
  const std::string c = image("C", 3);
  const auto table = restore({c}, disk_);
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "mbr " + sysvol + ".mbr " + disk_, "image " + sysvol + " " + disk_ + "p1",
                         "mbr " + esp + ".mbr " + disk_, "image " + esp + " " + disk_ + "p2",
                         "mbr " + c + ".mbr " + disk_, "image " + c + " " + disk_ + "p3"}));
  EXPECT_EQ(table, (std::map<std::string, std::string>{{"C", "SUCCESS"}, {"ESPVOL", "SUCCESS"}, {"SYSVOL", "SUCCESS"}}));
}

TEST_F(ImageSetRestoreOnRig, SystemVolumeWithoutSiblingsIsRestoredAlone) {
  const std::string c = image("C", 2);
  const auto table = restore({c}, disk_);
  EXPECT_EQ(calls(), (std::vector<std::string>{"mbr " + c + ".mbr " + disk_, "image " + c + " " + disk_ + "p2"}));
  EXPECT_EQ(table, (std::map<std::string, std::string>{{"C", "SUCCESS"}}));
}

TEST_F(ImageSetRestoreOnRig, AFailedImageIsMarkedAndTheListGoesOn) {
  const std::string d = image("D", 1, "fail");
  const std::string e = image("E", 2);
  const auto table = restore({d, e}, disk_);
  EXPECT_EQ(table, (std::map<std::string, std::string>{{"D", "ERROR"}, {"E", "SUCCESS"}}));
  EXPECT_EQ(calls().size(), 4u);
}

TEST_F(ImageSetRestoreOnRig, AFailedPartitionTableKeepsItsImageOffTheDisk) {
  const std::string d = image("D", 1, "badtable");
  const std::string e = image("E", 2);
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
    const std::string d = image("D", 1, name);
    EXPECT_EQ(restore({d}, disk_).at("D"), "ERROR") << name;
    EXPECT_EQ(hashOf(), before) << name;
  }
}

TEST_F(ImageSetRestoreOnRig, WithoutAPartitionNumberNothingIsWritten) {
  const std::string record = tableFileOf(disk_);
  const std::string none = ImageSetRestore::image("D", "", "d", record);
  const std::string text = ImageSetRestore::image("E", "partition_number=2; reboot\n", "d", record);
  const std::string two = ImageSetRestore::image("F", "partition_number=1\npartition_number=2\n", "d", record);
  const std::string zero = ImageSetRestore::image("G", "partition_number=0\n", "d", record);
  const auto table = restore({none, text, two, zero}, disk_);
  EXPECT_EQ(table,
            (std::map<std::string, std::string>{{"D", "ERROR"}, {"E", "ERROR"}, {"F", "ERROR"}, {"G", "ERROR"}}));
  EXPECT_TRUE(calls().empty()) << "the whole disk must never receive an image";
}

TEST_F(ImageSetRestoreOnRig, APartitionTheTableDoesNotHaveIsRefusedBeforeTheTable) {
  const std::string d = ImageSetRestore::image("D", "partition_number=4\n", "d", tableFileOf(disk_));
  const auto table = restore({d}, disk_);
  EXPECT_EQ(table.at("D"), "ERROR");
  EXPECT_TRUE(calls().empty());
}

// The tool exits 0 without a word but leaves the disk's old table, where
// partition 2 lies elsewhere than the image's table puts it: the image is not
// written there, and the user is told why.
TEST_F(ImageSetRestoreOnRig, ATableStepThatLeavesTheOldTableFailsBeforeTheImage) {
  const std::string other = (dir_.path() / "other-disk.img").string();
  std::filesystem::resize_file(dir_.write("other-disk.img", ""), 64 << 20);
  ASSERT_EQ(runProgram({"sfdisk", "-q", other}, "label: dos\nsize=4M\nsize=8M\n").status, 0);
  const std::string d = ImageSetRestore::image("D", "partition_number=2\n", "pretends", tableFileOf(other));
  const std::string before = deviceBytes(disk_);
  resp_queue.clear();
  const auto table = restore({d}, disk_);
  EXPECT_EQ(table.at("D"), "ERROR");
  EXPECT_EQ(calls(), std::vector<std::string>{"mbr " + d + ".mbr " + disk_});
  EXPECT_TRUE(deviceBytes(disk_) == before);
  const std::optional<std::string> refusal = resp_queue.takeFor(std::chrono::milliseconds(0));
  ASSERT_TRUE(refusal.has_value());
  EXPECT_NE(refusal->find("\"refused\""), std::string::npos) << *refusal;
}

// The same with the table written but the tool failing in words only, or
// with a table file the tool cannot put onto any disk: nothing is written.
TEST_F(ImageSetRestoreOnRig, ATableTheToolCannotWriteAnywhereIsRefusedBeforeTheTarget) {
  const std::string d = ImageSetRestore::image("D", "partition_number=1\n", "d", "not a table at all");
  const auto table = restore({d}, disk_);
  EXPECT_EQ(table.at("D"), "ERROR");
  EXPECT_TRUE(calls().empty());
}

// A table whose numbering has a gap (1 and 3): the image of partition 3 goes
// to partition 3, found by its number, not to the second partition node.
TEST_F(ImageSetRestoreOnRig, TableWithAGapSendsPartitionThreeToPartitionThree) {
  for (const std::string label : {"dos", "gpt"}) {
    SCOPED_TRACE(label);
    rig_->partition("target", "label: " + label + "\n" + disk_ + "p1 : start=2048, size=8192\n" + disk_ +
                                  "p3 : start=20480, size=8192\n");
    reportTargetDisks();
    std::filesystem::remove(work_ / "calls");
    const std::string volume = label == "dos" ? "D" : "E";
    const std::string d = image(volume, 3);
    const auto table = restore({d}, disk_);
    EXPECT_EQ(table.at(volume), "SUCCESS");
    EXPECT_EQ(calls(), (std::vector<std::string>{"mbr " + d + ".mbr " + disk_, "image " + d + " " + disk_ + "p3"}));
  }
}

TEST_F(ImageSetRestoreOnRig, CancelEndsTheListAfterTheCurrentImage) {
  const std::string sysvol = image("SYSVOL", 1);
  image("ESP", 2);
  const std::string c = image("C", 3);
  const std::string d = image("D", 3);
  cancelOnPause_ = true;
  restore({c, d}, disk_);
  EXPECT_EQ(calls(), (std::vector<std::string>{"mbr " + sysvol + ".mbr " + disk_, "image " + sysvol + " " + disk_ + "p1"}));
}

// Every target the gate refuses: the image is marked "ERROR" for the user
// interface, the tool never runs, and the disk keeps every byte.
TEST_F(ImageSetRestore, TargetsTheGateRefusesAreNeverWritten) {
  SKIP_WITHOUT_RIG();
  struct Case {
    std::string name;
    std::function<std::string(Rig& rig)> target;
    std::string watched;  // the rig disk whose bytes must stay; the target when empty
    std::function<void(Rig& rig)> afterReport;
    std::string reason;  // words the reason sent to the user interface holds
  };
  std::unique_ptr<Rig> alien;
  TempDir mounts;
  // The disk's node, with one ext4 partition mounted from it.
  const auto withMountedPartition = [&mounts](Rig& rig, const std::string& disk) {
    rig.partition(disk, "label: dos\nsize=4M\n");
    rig.mkfs(disk, 1, "ext4");
    rig.mount(disk, 1, mounts.path() / disk);
    return rig.device(disk);
  };
  const std::vector<Case> cases{
      {"a partition node",
       [](Rig& rig) {
         rig.partition("target", "label: dos\nsize=4M\n");
         return rig.partition("target", 1);
       },
       "target", nullptr, "is a partition"},
      {"a disk with a mounted partition", [&](Rig& rig) { return withMountedPartition(rig, "target"); }, "",
       nullptr, "is mounted on"},
      {"a loop device the inventory does not list",
       [&alien](Rig&) {
         alien = std::make_unique<Rig>(std::vector<RigDiskSpec>{{"alien", "internal", "16M"}});
         return alien->device("alien");
       },
       "", nullptr, "not one of the disks"},
      {"a relative path", [](Rig& rig) { return rig.device("target").substr(1); }, "target", nullptr,
       "no absolute path"},
      {"a disk smaller than the record's table", [](Rig& rig) { return rig.device("small"); }, "", nullptr,
       "smaller"},
      {"the USB drive holding the backups", [&](Rig& rig) { return withMountedPartition(rig, "stick"); }, "",
       nullptr, "not one of the disks"},
      {"a disk swapped under its node after the report", [](Rig& rig) { return rig.device("target"); }, "",
       [](Rig& rig) { swapMedium(rig, "target"); }, "not the disk reported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig({{"source", "internal", "16M"}, {"target", "internal", "16M"}, {"small", "internal", "8M"},
             {"stick", "usb", "16M"}});
    const RigInventory inventory(rig);
    rig.partition("source", "label: gpt\nsize=4M\nsize=4M\n");
    const std::string image =
        ImageSetRestore::image("D", "partition_number=2\n", "d", tableFileOf(rig.device("source")));
    const std::string target = c.target(rig);
    reportTargetDisks();
    if (c.afterReport) {
      c.afterReport(rig);
    }
    const std::string watched = c.watched.empty() ? target : rig.device(c.watched);
    const std::string before = deviceBytes(watched);
    ASSERT_FALSE(before.empty());
    resp_queue.clear();

    EXPECT_EQ(restore({image}, target).at("D"), "ERROR");
    // First the reason, then the drive's status.
    const std::optional<std::string> refusal = resp_queue.takeFor(std::chrono::milliseconds(0));
    ASSERT_TRUE(refusal.has_value());
    Json::Value refused;
    ASSERT_TRUE(Json::Reader().parse(*refusal, refused)) << *refusal;
    EXPECT_EQ(refused["op"].asString(), "refused") << *refusal;
    EXPECT_EQ(refused["key"].asString(), "D");
    EXPECT_EQ(refused["target"].asString(), target);
    EXPECT_NE(refused["reason"].asString().find(c.reason), std::string::npos) << *refusal;
    const std::optional<std::string> sent = resp_queue.takeFor(std::chrono::milliseconds(0));
    ASSERT_TRUE(sent.has_value());
    EXPECT_NE(sent->find("\"ERROR\""), std::string::npos) << "the user interface hears of it: " << *sent;
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(deviceBytes(watched) == before) << watched << " was written to";
    alien.reset();
  }
}

}  // namespace
