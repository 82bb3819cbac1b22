#include "server_restore/disk_restore.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "rig/rig_fixture.h"
#include "server_restore/partition_table_write.h"
#include "support/file.h"
#include "support/pause.h"
#include "support/text.h"

using namespace std::chrono_literals;
using server_restore::DiskRestoreServices;

namespace {

std::string readBytes(const std::string& path, long long offset, size_t count) {
  File file;
  if (!file.Open(path, 0)) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  return file.Read(offset, static_cast<unsigned int>(count));
}

void writeBytes(const std::string& path, long long offset, const std::string& bytes) {
  File file;
  ASSERT_TRUE(file.Open(path, 3)) << path;
  ASSERT_EQ(file.Write(offset, bytes), bytes.size());
  ASSERT_TRUE(file.Sync());
}

std::string pattern(size_t size, char seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(seed + i % 97);
  }
  return bytes;
}

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
    previousPause_ = setPauseFunction([this](std::chrono::milliseconds d) {
      const std::lock_guard lock(mutex_);
      pauses_.push_back(d);
    });
    partitionFile_ = temp_.write("partition", std::string(8192, 'p')).string();
  }
  void TearDown() override { setPauseFunction(previousPause_); }

  DiskRestoreServices services() {
    DiskRestoreServices s;
    s.fetchRecord = [this](const SImage&) { return record_; };
    s.partitionPath = [this](const std::string& disk, int row) {
      lookups_.push_back(disk + "#" + std::to_string(row));
      return static_cast<int>(lookups_.size()) > partitionMissingFor_ ? partitionFile_ : std::string();
    };
    s.shell = [this](const std::string& command) { commands_.push_back(command); };
    s.download = [this](RestoreThread& download) {
      downloads_.push_back(download);
      download.result = downloadResult_;
      download.done = true;
    };
    s.startProgress = [this](const std::string& key) { progressKeys_.push_back(key); };
    return s;
  }

  bool restore(const std::string& disk, std::string& errtext, const std::string& letter = "C:") {
    return server_restore::restorePartitionImage(services(), image(letter), disk, errtext);
  }

  int pausesOf(std::chrono::milliseconds d) {
    const std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(pauses_.begin(), pauses_.end(), d));
  }

  TempDir temp_;
  std::optional<SMBRData> record_ = mbrRecord(1);
  int partitionMissingFor_ = 0;  // lookups that find nothing before the partition shows
  int downloadResult_ = 0;
  std::string partitionFile_;
  std::vector<std::string> lookups_;
  std::vector<std::string> commands_;
  std::vector<RestoreThread> downloads_;
  std::vector<std::string> progressKeys_;

private:
  std::mutex mutex_;
  std::vector<std::chrono::milliseconds> pauses_;
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
  EXPECT_TRUE(commands_.empty());
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
  EXPECT_EQ(readBytes(regular, 0, 8192), content);
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_TRUE(commands_.empty());
  EXPECT_TRUE(downloads_.empty());
  EXPECT_TRUE(progressKeys_.empty());
}

class RigDiskRestoreTest : public DiskRestoreTest {
protected:
  void SetUp() override {
    DiskRestoreTest::SetUp();
    std::string why;
    if (!Rig::available(&why)) {
      GTEST_SKIP() << why;
    }
    rig_ = std::make_unique<Rig>(std::vector<RigDiskSpec>{{"target", "internal", "8M"}});
    disk_ = rig_->device("target");
    before_ = pattern(64 * 1024, 'd');
    writeBytes(disk_, 0, before_);
    writeBytes(disk_, 8 * 1024 * 1024 - 16384, pattern(16384, 'e'));
  }
  void TearDown() override {
    rig_.reset();
    DiskRestoreTest::TearDown();
  }

  std::unique_ptr<Rig> rig_;
  std::string disk_;
  std::string before_;
};

TEST_F(RigDiskRestoreTest, GptForAnotherBlockSizeIsRefusedBeforeAnythingIsWritten) {
  record_->is_gpt = true;
  record_->header_offset = 4096;  // a source with 4 KiB logical blocks
  record_->header_bytes = pattern(92, 'h');
  record_->entries_offset = 8192;
  record_->entries_bytes = pattern(16384, 'g');
  ASSERT_EQ(server_restore::logicalBlockSize(disk_), 512);
  std::string errtext;
  EXPECT_FALSE(restore(disk_, errtext));
  EXPECT_EQ(errtext, "gpt_logical_blocksize_change");
  EXPECT_EQ(readBytes(disk_, 0, before_.size()), before_);
  EXPECT_TRUE(commands_.empty());
  EXPECT_TRUE(downloads_.empty());
}

TEST_F(RigDiskRestoreTest, GptIsWrittenAtItsPositionsAndABackupCopyFailureOnlyWarns) {
  const long long diskSize = 8 * 1024 * 1024;
  record_->is_gpt = true;
  record_->header_offset = 512;
  record_->header_bytes = pattern(92, 'h');
  record_->entries_offset = 1024;
  record_->entries_bytes = pattern(16384, 'g');
  record_->region3_offset = diskSize - 512 - 16384;
  record_->region3_bytes = pattern(16384, 'G');
  // The second backup region lies beyond this disk's end, as it would on a
  // disk smaller than the source.
  record_->region4_offset = diskSize + 4096;
  record_->region4_bytes = pattern(92, 'H');
  std::string errtext;
  EXPECT_TRUE(restore(disk_, errtext));
  EXPECT_EQ(errtext, "");
  EXPECT_EQ(readBytes(disk_, 0, 512), record_->mbr_data);
  EXPECT_EQ(readBytes(disk_, 512, 92), record_->header_bytes);
  EXPECT_EQ(readBytes(disk_, 1024, 16384), record_->entries_bytes);
  EXPECT_EQ(readBytes(disk_, record_->region3_offset, 16384), record_->region3_bytes);
  // Bytes between the written regions are left alone.
  EXPECT_EQ(readBytes(disk_, 604, 420), before_.substr(604, 420));
  EXPECT_EQ(readBytes(disk_, 17408, 4096), before_.substr(17408, 4096));
  ASSERT_EQ(downloads_.size(), 1u);

  // The same failure with a failing download leaves the download's text.
  downloadResult_ = 6;
  EXPECT_FALSE(restore(disk_, errtext));
  EXPECT_EQ(errtext, "writing_failed`");
}

TEST_F(RigDiskRestoreTest, PartitionThatShowsLateIsRestoredAndTheDiskPathIsQuoted) {
  // A path with a blank and a single quote that names the rig disk.
  const std::string link = (temp_.path() / "it's disk").string();
  std::filesystem::create_symlink(disk_, link);
  partitionMissingFor_ = 3;  // the first look and two further attempts
  record_->partition_number = 2;
  std::string errtext;
  EXPECT_TRUE(restore(link, errtext, "F:"));
  EXPECT_EQ(errtext, "");
  EXPECT_EQ(readBytes(disk_, 0, 512), record_->mbr_data);
  EXPECT_EQ(readBytes(disk_, 512, 1024), before_.substr(512, 1024));

  const std::string quoted = "'" + temp_.path().string() + "/it'\\''s disk'";
  const std::string partprobe = "partprobe " + quoted + " > /dev/null 2>&1";
  const std::string fdisk = "echo w | fdisk " + quoted + " > /dev/null 2>&1";
  EXPECT_EQ(commands_, (std::vector<std::string>{partprobe, partprobe, fdisk, partprobe, fdisk, partprobe}));
  EXPECT_EQ(lookups_.size(), 4u);
  EXPECT_EQ(lookups_.front(), link + "#2");
  EXPECT_EQ(pausesOf(10s), 4);

  EXPECT_EQ(progressKeys_, (std::vector<std::string>{"F"}));
  ASSERT_EQ(downloads_.size(), 1u);
  EXPECT_EQ(downloads_[0].image_id, 42);
  EXPECT_EQ(downloads_[0].image_time, "1500000000");
  EXPECT_EQ(downloads_[0].partition, partitionFile_);
}

TEST_F(RigDiskRestoreTest, PartitionThatNeverShowsGivesUpAfterTenFurtherAttempts) {
  partitionMissingFor_ = 1000;
  std::string errtext;
  EXPECT_FALSE(restore(disk_, errtext));
  EXPECT_EQ(errtext, "no_restore_partition");
  EXPECT_EQ(lookups_.size(), 11u);
  EXPECT_EQ(pausesOf(10s), 11);
  EXPECT_EQ(std::count_if(commands_.begin(), commands_.end(),
                          [](const std::string& c) { return c.rfind("echo w | fdisk ", 0) == 0; }),
            10);
  EXPECT_TRUE(downloads_.empty());
  EXPECT_TRUE(progressKeys_.empty());
}

TEST_F(RigDiskRestoreTest, DownloadResultDecidesTheOutcome) {
  downloadResult_ = 11;
  std::string errtext;
  EXPECT_FALSE(restore(disk_, errtext));
  EXPECT_EQ(errtext, "device_too_small");
  downloadResult_ = 7;
  EXPECT_FALSE(restore(disk_, errtext));
  EXPECT_EQ(errtext, "error restoring..");
  downloadResult_ = 0;
  EXPECT_TRUE(restore(disk_, errtext));
  EXPECT_EQ(errtext, "");
}

}  // namespace
