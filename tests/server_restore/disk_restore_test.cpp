#include "server_restore/disk_restore.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "blockdev/target_gate.h"
#include "disks/block_devices.h"
#include "disks/target_disks.h"
#include "rig/restore_targets.h"
#include "support/pause.h"
#include "support/text.h"

using namespace std::chrono_literals;
using server_restore::DiskRestoreServices;

namespace {

SMBRData mbrRecord(int partition) {
  CRData nothing;
  SMBRData record(nothing);
  record.decode_failed = false;
  record.partition_number = partition;
  record.mbr_data = pattern(512, 'M');
  return record;
}

SImage image(const std::string& letter) {
  SImage result;
  result.image_id = 42;
  result.backup_time = 1500000000;
  result.letter = letter;
  return result;
}

// Stand-ins for everything beyond the disk, recording what DoRestore asks.
class DiskRestoreTest : public testing::Test {
protected:
  void SetUp() override {
    previousPause_ = setPauseFunction([](std::chrono::milliseconds) {});
  }
  void TearDown() override { setPauseFunction(previousPause_); }

  DiskRestoreServices services() {
    DiskRestoreServices s;
    s.fetchRecord = [this](const SImage&) { return record_; };
    s.targetInventory = [this] { return inventory_ ? inventory_() : std::vector<std::string>(); };
    s.download = [this](RestoreThread& download) {
      downloads_.push_back(download);
      // What a download would put at the start of the partition, or the whole
      // image where the test names the partition it comes from.
      writeDeviceBytes(download.partition, 0, imageSource_.empty() ? imageStart_ : deviceBytes(imageSource_));
      download.result = downloadResult_;
      download.done = true;
    };
    s.startProgress = [this](const std::string& key) { progressKeys_.push_back(key); };
    s.refused = [this](const std::string& key, const std::string& disk, const std::string& why) {
      refusals_.push_back({key, disk, why});
    };
    return s;
  }

  bool restore(const std::string& disk, std::string& errtext, const std::string& letter = "C:") {
    return server_restore::restorePartitionImage(services(), image(letter), disk, errtext);
  }

  TempDir temp_;
  std::optional<SMBRData> record_ = mbrRecord(1);
  std::function<std::vector<std::string>()> inventory_;
  int downloadResult_ = 0;
  std::string imageStart_ = pattern(8192, 'i');
  std::string imageSource_;
  std::vector<RestoreThread> downloads_;
  std::vector<std::string> progressKeys_;
  struct Refusal {
    std::string key, disk, why;
  };
  std::vector<Refusal> refusals_;

private:
  PauseFunction previousPause_;
};

TEST(GetDriveletter, VolumeNamesStayWholeLettersAreCut) {
  EXPECT_EQ(GetDriveletter(image("C:")), "C");
  EXPECT_EQ(GetDriveletter(image("ESPVOL")), "ESPVOL");
  EXPECT_EQ(GetDriveletter(image("SYSVOL")), "SYSVOL");
  EXPECT_EQ(GetDriveletter(image("SYSVOLX")), "S");
  EXPECT_EQ(GetDriveletter(image("")), "");
}

TEST(RestoreErrorText, EveryResultCodeHasItsText) {
  const std::vector<std::pair<int, std::string>> table{
      {0, ""},
      {2, "cannot_write_on_partition`"},
      {3, "wrong_size`"},
      {4, "server_doesnot_respond`"},
      {5, "server_connection_timeout`"},
      {6, "writing_failed`"},
      {10, "no_connection`"},
      {11, "device_too_small"},
  };
  for (const auto& [code, text] : table) {
    EXPECT_EQ(server_restore::restoreErrorText(code), text) << code;
  }
  for (int code : {-1, 1, 7, 8, 9, 12, 1000}) {
    EXPECT_EQ(server_restore::restoreErrorText(code), "error restoring..") << code;
  }
}

TEST_F(DiskRestoreTest, RecordThatCannotBeFetchedOrDecodedStopsBeforeTheDisk) {
  std::string errtext;
  record_.reset();
  EXPECT_FALSE(restore("/dev/null", errtext));
  EXPECT_EQ(errtext, "MBR download failed..");

  record_ = mbrRecord(1);
  record_->decode_failed = true;
  EXPECT_FALSE(restore("/dev/null", errtext));
  EXPECT_EQ(errtext, "error_while_reading_mbr");
  EXPECT_TRUE(downloads_.empty());
}

TEST_F(DiskRestoreTest, DiskPathThatIsNoBlockDeviceIsRefusedUntouched) {
  const std::string content = pattern(4096, 'f');
  const std::string regular = temp_.write("disk.img", content).string();
  const std::string missing = (temp_.path() / "no-such-disk").string();
  const std::string directory = temp_.path().string();
  for (const std::string& disk : {regular, missing, directory, std::string("/dev/null")}) {
    std::string errtext;
    EXPECT_FALSE(restore(disk, errtext)) << disk;
    EXPECT_EQ(errtext, "cannot_open_disk") << disk;
  }
  EXPECT_EQ(getFile(regular), content);
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_TRUE(downloads_.empty());
  EXPECT_TRUE(progressKeys_.empty());
}


// Restores onto rig disks through the real target gate; the rig's disks form
// the disk inventory.
class RigDiskRestoreTest : public DiskRestoreTest {
protected:
  static constexpr long long diskSize = 16LL << 20;

  void SetUp() override {
    DiskRestoreTest::SetUp();
    SKIP_WITHOUT_RIG();
    inventory_ = currentTargetDisks;
  }

  // A fresh rig: "source" (whose table the record holds), "target", a
  // smaller disk and a USB stick, every disk full of a known pattern.
  void buildRig(const std::string& sourceTable, int partition) {
    inventoryEnv_.reset();
    rig_ = std::make_unique<Rig>(std::vector<RigDiskSpec>{{"source", "internal", "16M"},
                                                          {"target", "internal", "16M"},
                                                          {"small", "internal", "8M"},
                                                          {"stick", "usb", "16M"}});
    inventoryEnv_ = std::make_unique<RigInventory>(*rig_);
    for (const char* name : {"target", "small", "stick"}) {
      writeDeviceBytes(rig_->device(name), 0, pattern(name == std::string("small") ? diskSize / 2 : diskSize, *name));
    }
    std::string script = sourceTable;
    replaceAll(script, "$disk", rig_->device("source"));
    rig_->partition("source", script);
    record_ = recordOf(rig_->device("source"), partition);
  }

  static void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }

  void TearDown() override {
    inventoryEnv_.reset();
    rig_.reset();
    DiskRestoreTest::TearDown();
  }

  std::unique_ptr<Rig> rig_;
  std::unique_ptr<RigInventory> inventoryEnv_;
};

constexpr const char* twoGptPartitions = "label: gpt\nsize=4M\nsize=4M\n";

// Every refusal comes before the first byte: the disk the path names (or the
// disk a partition lies on) keeps every byte.
TEST_F(RigDiskRestoreTest, TargetsTheGateRefusesStayByteForByteUnchanged) {
  struct Case {
    std::string name;
    // Prepares the rig and returns the target path to restore onto.
    std::function<std::string(Rig& rig, TempDir& temp)> target;
    std::string expected;
    std::string watched;  // the rig disk whose bytes must stay; the target when empty
    // Runs between the disk report and the restore.
    std::function<void(Rig& rig)> afterReport = nullptr;
    std::function<void(SMBRData& record)> record = nullptr;
  };
  std::unique_ptr<Rig> alien;
  const std::vector<Case> cases{
      {"a partition node",
       [](Rig& rig, TempDir&) {
         rig.partition("target", "label: dos\nsize=4M\n");
         return rig.partition("target", 1);
       },
       "cannot_open_disk", "target"},
      {"a disk with a mounted partition",
       [](Rig& rig, TempDir& temp) {
         rig.partition("target", "label: dos\nsize=4M\n");
         rig.mkfs("target", 1, "ext4");
         rig.mount("target", 1, temp.path() / "mounted");
         return rig.device("target");
       },
       "cannot_open_disk", ""},
      {"a loop device the inventory does not list",
       [&alien](Rig&, TempDir&) {
         alien = std::make_unique<Rig>(std::vector<RigDiskSpec>{{"alien", "internal", "16M"}});
         return alien->device("alien");
       },
       "cannot_open_disk", ""},
      {"a relative path", [](Rig& rig, TempDir&) { return rig.device("target").substr(1); }, "cannot_open_disk",
       "target"},
      {"a path that leaves /dev",
       [](Rig& rig, TempDir&) { return "/dev/../dev/" + rig.device("target").substr(5); }, "cannot_open_disk",
       "target"},
      {"the USB drive", [](Rig& rig, TempDir&) { return rig.device("stick"); }, "cannot_open_disk", ""},
      {"a disk smaller than the record's table", [](Rig& rig, TempDir&) { return rig.device("small"); },
       "device_too_small", ""},
      {"a disk swapped under its node after the report", [](Rig& rig, TempDir&) { return rig.device("target"); },
       "cannot_open_disk", "", [](Rig& rig) { swapMedium(rig, "target"); }},
      {"a disk no report offered", [](Rig& rig, TempDir&) { return rig.device("target"); }, "cannot_open_disk", "",
       [](Rig&) { blockdev::rememberReportedTargets({}); }},
      {"a GPT made for 4 KiB blocks", [](Rig& rig, TempDir&) { return rig.device("target"); },
       "gpt_logical_blocksize_change", "", nullptr, [](SMBRData& record) { record.header_offset = 4096; }},
      {"a partition the record's table does not have", [](Rig& rig, TempDir&) { return rig.device("target"); },
       "no_restore_partition", "", nullptr, [](SMBRData& record) { record.partition_number = 3; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    buildRig(twoGptPartitions, 2);
    TempDir temp;
    const std::string target = c.target(*rig_, temp);
    if (c.record) {
      c.record(*record_);
    }
    reportTargetDisks();
    if (c.afterReport) {
      c.afterReport(*rig_);
    }
    const std::string watched = c.watched.empty() ? target : rig_->device(c.watched);
    const std::string before = deviceBytes(watched);
    ASSERT_FALSE(before.empty());

    std::string errtext;
    refusals_.clear();
    EXPECT_FALSE(restore(target, errtext));
    EXPECT_EQ(errtext, c.expected);
    EXPECT_TRUE(deviceBytes(watched) == before) << watched << " was written to";
    EXPECT_TRUE(downloads_.empty());
    // The user is told why, not only "ERROR".
    ASSERT_EQ(refusals_.size(), 1u);
    EXPECT_EQ(refusals_[0].key, "C");
    EXPECT_EQ(refusals_[0].disk, target);
    EXPECT_FALSE(refusals_[0].why.empty());
    rig_.reset();
    alien.reset();
  }
}

// A table whose numbering has a gap (1 and 3): partition 3's image goes into
// partition 3, and partition 1's bytes stay as they were.
TEST_F(RigDiskRestoreTest, TableWithAGapRestoresPartitionThreeIntoPartitionThree) {
  for (const std::string label : {"dos", "gpt"}) {
    SCOPED_TRACE(label);
    buildRig("label: " + label + "\n$diskp1 : start=2048, size=4096\n$diskp3 : start=8192, size=8192\n", 3);
    reportTargetDisks();
    const std::string target = rig_->device("target");
    const std::string before = deviceBytes(target);

    std::string errtext;
    ASSERT_TRUE(restore(target, errtext)) << errtext;
    EXPECT_EQ(errtext, "");
    ASSERT_EQ(downloads_.size(), 1u);
    EXPECT_EQ(downloads_[0].partition, rig_->partition("target", 3));
    EXPECT_EQ(getPartitionPath(target, 3), rig_->partition("target", 3));
    EXPECT_EQ(getPartitionPath(target, 2), "");

    const std::string after = deviceBytes(target);
    EXPECT_EQ(after.substr(0, 512), record_->mbr_data);
    EXPECT_TRUE(after.substr(2048 * 512, 4096 * 512) == before.substr(2048 * 512, 4096 * 512))
        << "partition 1 was written to";
    EXPECT_EQ(after.substr(8192 * 512, imageStart_.size()), imageStart_);
    const size_t imageEnd = 8192 * 512 + imageStart_.size();
    EXPECT_TRUE(after.substr(imageEnd, 4096) == before.substr(imageEnd, 4096)) << "written past the image";
    downloads_.clear();
    rig_.reset();
  }
}

// A restore that writes again onto a disk that was restored before: the gate
// lets the reported disk through, and the kernel shows the new table.
TEST_F(RigDiskRestoreTest, DownloadResultDecidesTheOutcome) {
  buildRig(twoGptPartitions, 1);
  reportTargetDisks();
  const std::string target = rig_->device("target");
  std::string errtext;
  downloadResult_ = 11;
  EXPECT_FALSE(restore(target, errtext));
  EXPECT_EQ(errtext, "device_too_small");
  downloadResult_ = 0;
  EXPECT_TRUE(restore(target, errtext));
  EXPECT_EQ(errtext, "");
  ASSERT_EQ(downloads_.size(), 2u);
  EXPECT_EQ(downloads_[1].partition, rig_->partition("target", 1));
  EXPECT_EQ(progressKeys_, (std::vector<std::string>{"C", "C"}));
}

// A Windows-like GPT disk (EFI system partition, MSR, data, recovery) onto a
// disk twice its size and onto a smaller one that still holds every
// partition: each time a table of the target itself, whose backup lies at the
// target's end, with every partition's bytes as on the source.
TEST_F(RigDiskRestoreTest, GptOntoALargerOrSmallerDiskIsATableOfThatDisk) {
  constexpr long long MiB = 1LL << 20;
  rig_ = std::make_unique<Rig>(std::vector<RigDiskSpec>{
      {"source", "internal", "64M"}, {"larger", "internal", "128M"}, {"smaller", "internal", "48M"}});
  inventoryEnv_ = std::make_unique<RigInventory>(*rig_);
  rig_->partition("source",
                  "label: gpt\n"
                  "size=8M, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n"
                  "size=4M, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\n"
                  "size=20M, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
                  "size=6M, type=DE94BBA4-06D1-4D40-A16A-BFD50179D6AC\n");
  const std::vector<long long> sizes{8 * MiB, 4 * MiB, 20 * MiB, 6 * MiB};
  for (int n = 1; n <= 4; ++n) {
    writeDeviceBytes(rig_->partition("source", n), 0, pattern(static_cast<size_t>(sizes[n - 1]), 'a' + n));
  }
  for (const auto& [name, size] : {std::pair{"larger", 128 * MiB}, std::pair{"smaller", 48 * MiB}}) {
    SCOPED_TRACE(name);
    const std::string target = rig_->device(name);
    // The target's end holds a stale backup GPT of an earlier table.
    rig_->partition(name, "label: gpt\nsize=2M\n");
    for (int n = 1; n <= 4; ++n) {
      record_ = recordOf(rig_->device("source"), n);
      imageSource_ = rig_->partition("source", n);
      reportTargetDisks();
      std::string errtext;
      ASSERT_TRUE(restore(target, errtext)) << "partition " << n << ": " << errtext;
    }
    const RigRun verify = runProgram({"sgdisk", "-v", target});
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("No problems found"), std::string::npos) << verify.output;
    const std::string bytes = deviceBytes(target);
    const uint64_t lastLba = static_cast<uint64_t>(size) / 512 - 1;
    uint64_t alternate = 0;
    for (int i = 7; i >= 0; --i) {
      alternate = (alternate << 8) | static_cast<unsigned char>(bytes[512 + 32 + i]);
    }
    EXPECT_EQ(alternate, lastLba);
    EXPECT_EQ(bytes.substr(lastLba * 512, 8), "EFI PART");
    for (int n = 1; n <= 4; ++n) {
      EXPECT_TRUE(deviceBytes(rig_->partition(name, n)) == deviceBytes(rig_->partition("source", n)))
          << "partition " << n << " differs";
    }
  }
}

// A table made for 512-byte sectors, MBR or GPT, is refused on a disk with
// 4096-byte blocks before its first byte changes: read in 4 KiB sectors, an
// MBR's partitions would lie eight times further in.
TEST_F(RigDiskRestoreTest, TablesOfAnotherSectorSizeAreRefusedUntouched) {
  rig_ = std::make_unique<Rig>(std::vector<RigDiskSpec>{{"source", "internal", "16M"},
                                                        {"native4k", "internal", "64M@4096"}});
  inventoryEnv_ = std::make_unique<RigInventory>(*rig_);
  const std::string target = rig_->device("native4k");
  writeDeviceBytes(target, 0, pattern(64 << 20, 'k'));
  for (const std::string label : {"dos", "gpt"}) {
    SCOPED_TRACE(label);
    rig_->partition("source", "label: " + label + "\nsize=4M\nsize=4M\n");
    record_ = recordOf(rig_->device("source"), 1);
    reportTargetDisks();
    const std::string before = deviceBytes(target);
    std::string errtext;
    EXPECT_FALSE(restore(target, errtext));
    EXPECT_EQ(errtext, "gpt_logical_blocksize_change");
    EXPECT_TRUE(deviceBytes(target) == before) << "the 4096-byte disk was written to";
    EXPECT_TRUE(downloads_.empty());
  }
}

}  // namespace
