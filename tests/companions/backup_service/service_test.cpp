// The agent's own protocol client against the real backup-service process:
// listings, logins, both download modes, and every fault mode the service
// can be told to show.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <thread>

#include "common/backup_service_process.h"
#include "common/temp_dir.h"
#include "control/shared_state.h"
#include "disk_images.h"
#include "partition_record.h"
#include "protocol/image_download.h"
#include "protocol/listing.h"
#include "protocol/login.h"
#include "protocol/mbr_record.h"
#include "protocol/server_connection.h"
#include "rig/rig_fixture.h"
#include "support/pause.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;
constexpr char kServicePassword[] = "svc&pw=1";
// Holes of the image must leave whatever the target held before.
constexpr char kFiller = '\xEE';

struct SourceDisk {
  std::filesystem::path file;
  int64_t start = 0;
  int64_t length = 0;
  std::vector<int64_t> data_blocks;  // positions within the partition
};

class BackupServiceProtocol : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    // The client reads keelback/pw.txt relative to the working directory.
    std::filesystem::current_path(work_.path());
    writeServicePassword(work_.path(), kServicePassword);
    store_ = work_.path() / "store";
    ASSERT_EQ(runBackupService({"init", "--store", store_.string()}).status, 0);
    cancelrestore = false;
    // Waits before resumed downloads are not slept through here.
    previousPause_ = setPauseFunction([](std::chrono::milliseconds) {});
  }

  void TearDown() override {
    setPauseFunction(previousPause_);
    cancelrestore = false;
    std::filesystem::current_path(previous_);
  }

  void startService(std::vector<std::string> arguments = {}) {
    service_.reset();
    BackupServiceOptions options;
    options.store = store_;
    options.workingDirectory = work_.path();
    options.arguments = std::move(arguments);
    service_ = std::make_unique<BackupServiceProcess>(options);
  }

  // A GPT disk image whose partition 1 is 2049 sectors (its last block cut
  // short) holding data in a few blocks only.
  SourceDisk makeSource() {
    SourceDisk source;
    source.file = work_.path() / "source.img";
    makeDiskImage(source.file, 16 * kMiB, "label: gpt\nsize=2049\n");
    const auto partition = readWithSfdisk(source.file).partitions.at(0);
    source.start = partition.start_sector * 512;
    source.length = partition.sectors * 512;
    source.data_blocks = {0, 4096, 12 * 4096, 200 * 4096, 201 * 4096, 256 * 4096};
    for (size_t i = 0; i < source.data_blocks.size(); ++i) {
      const int64_t at = source.data_blocks[i];
      writeBytes(source.file, source.start + at, patternBlock(static_cast<int>(i)).substr(0, static_cast<size_t>(std::min<int64_t>(4096, source.length - at))));
    }
    return source;
  }

  int capture(const SourceDisk& source, const std::string& client = "alpha", int64_t time = 1500000000,
              int associated = 0, const std::string& letter = "C") {
    return captureWithBackupService({.store = store_, .client = client, .disk = source.file.string(), .partition = 1,
                                     .letter = letter, .time = time, .associatedTo = associated,
                                     .allowPlainFile = true});
  }

  // A target file of `size` bytes, all filler.
  std::filesystem::path makeTarget(int64_t size, const std::string& name = "target.img") {
    const auto target = work_.path() / name;
    std::ofstream(target, std::ios::binary | std::ios::trunc) << std::string(static_cast<size_t>(size), kFiller);
    return target;
  }

  // Every block of the partition either came from the source or kept the
  // target's filler.
  void expectRestored(const SourceDisk& source, const std::filesystem::path& target,
                      int64_t first_position = 0) {
    const std::string restored = readBytes(target, 0, static_cast<size_t>(source.length));
    ASSERT_EQ(restored.size(), static_cast<size_t>(source.length));
    const std::string original = readBytes(source.file, source.start, static_cast<size_t>(source.length));
    for (int64_t at = 0; at < source.length; at += 4096) {
      const size_t size = static_cast<size_t>(std::min<int64_t>(4096, source.length - at));
      const bool has_data = std::find(source.data_blocks.begin(), source.data_blocks.end(), at) != source.data_blocks.end();
      const std::string expected = has_data && at >= first_position ? original.substr(static_cast<size_t>(at), size)
                                                                   : std::string(size, kFiller);
      ASSERT_EQ(restored.substr(static_cast<size_t>(at), size), expected) << "block at " << at;
    }
  }

  static std::string progressReply() {
    int err = 0;
    return requestReply(std::string("GET DOWNLOAD PROGRESS#pw=") + kServicePassword, 5000, &err);
  }

  TempDir work_;
  std::filesystem::path previous_;
  PauseFunction previousPause_;
  std::filesystem::path store_;
  std::unique_ptr<BackupServiceProcess> service_;
};

SImage imageOf(int id, int64_t time) {
  SImage image;
  image.image_id = id;
  image.backup_time = time;
  return image;
}

}  // namespace

TEST_F(BackupServiceProtocol, ImageModeWritesTheDataBlocksAndLeavesHolesUntouched) {
  const SourceDisk source = makeSource();
  const int id = capture(source);
  startService();
  EXPECT_EQ(progressReply(), "-1");

  const auto target = makeTarget(source.length);
  int64_t image_size = 0, target_size = 0;
  EXPECT_EQ(downloadImage(id, "1500000000", target.string(), false, -1, 0, &image_size, &target_size), 0);
  EXPECT_EQ(image_size, source.length);
  EXPECT_EQ(target_size, source.length);
  expectRestored(source, target);
  EXPECT_EQ(progressReply(), "-1") << "no download runs any more";
}

TEST_F(BackupServiceProtocol, OffsetLeavesOutTheBlocksBeforeIt) {
  const SourceDisk source = makeSource();
  const int id = capture(source);
  startService();
  const auto target = makeTarget(source.length);
  EXPECT_EQ(downloadImage(id, "1500000000", target.string(), false, 12 * 4096, 0, nullptr, nullptr), 0);
  expectRestored(source, target, 12 * 4096);
}

TEST_F(BackupServiceProtocol, RefusesUnknownImagesAndStaleTimes) {
  const SourceDisk source = makeSource();
  const int id = capture(source);
  startService();
  const auto target = makeTarget(source.length);
  int64_t image_size = 0;
  EXPECT_EQ(downloadImage(id + 1, "1500000000", target.string(), false, -1, 0, &image_size, nullptr), 3);
  EXPECT_EQ(image_size, -1);
  EXPECT_EQ(downloadImage(id, "1500000001", target.string(), false, -1, 0, nullptr, nullptr), 3);
  EXPECT_EQ(downloadImage(id, "1500000000", target.string(), true, -1, 0, nullptr, nullptr), 0);
  const auto small = makeTarget(4096, "small.img");
  EXPECT_EQ(downloadImage(id, "1500000000", small.string(), false, -1, 0, nullptr, nullptr), 11);
  EXPECT_EQ(readBytes(small, 0, 4096), std::string(4096, kFiller));
}

TEST_F(BackupServiceProtocol, RecordModeDeliversTheDiskTable) {
  const SourceDisk source = makeSource();
  const int id = capture(source);
  startService();
  std::string errmsg;
  CRData data;
  ASSERT_TRUE(DownloadMBR(imageOf(id, 1500000000), errmsg, data)) << errmsg;
  const SMBRData record(data);
  ASSERT_FALSE(record.decode_failed);
  DiskTable table;
  std::string error;
  ASSERT_TRUE(readDiskTable(source.file.string(), table, error)) << error;
  EXPECT_EQ(record.partition_number, 1);
  EXPECT_EQ(record.mbr_data, table.mbr);
  EXPECT_EQ(record.header_bytes, table.header.bytes);
  EXPECT_EQ(record.entries_offset, table.entries.offset);
  EXPECT_EQ(record.entries_bytes, table.entries.bytes);
  EXPECT_EQ(record.region4_offset, 16 * kMiB - 512);
}

TEST_F(BackupServiceProtocol, ListingsParseIntoClientsAndImages) {
  const SourceDisk source = makeSource();
  const int first = capture(source, "beta", 1500000000, 0, "SYSVOL");
  const int member = capture(source, "beta", 1500000060, first);
  const int second = capture(source, "beta", 1600000000, 0, "D");
  capture(source, "alpha");
  startService();

  int err = -1;
  EXPECT_EQ(getBackupclients(&err), (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_EQ(err, 0);

  const auto images = getBackupimages("beta", &err);
  EXPECT_EQ(err, 0);
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].image_id, first);
  EXPECT_EQ(images[0].backup_time, 1500000000);
  EXPECT_EQ(images[0].backup_date, "2017-07-14 02:40");
  EXPECT_EQ(images[0].letter, "SYSVOL");
  ASSERT_EQ(images[0].associated.size(), 1u);
  EXPECT_EQ(images[0].associated[0].image_id, member);
  EXPECT_EQ(images[0].associated[0].backup_time, 1500000060);
  EXPECT_EQ(images[1].image_id, second);
  EXPECT_EQ(images[1].letter, "D");
  EXPECT_TRUE(images[1].associated.empty());

  EXPECT_TRUE(getBackupimages("gamma", &err).empty());
  EXPECT_EQ(err, 1);

  // The agent reads its password file for every request.
  writeServicePassword(work_.path(), "not the service password");
  EXPECT_TRUE(getBackupclients(&err).empty());
  EXPECT_EQ(err, 2);
  const auto target = makeTarget(source.length);
  EXPECT_EQ(downloadImage(first, "1500000000", target.string(), false, -1, 0, nullptr, nullptr), 3);
}

TEST_F(BackupServiceProtocol, OpenStoreAcceptsALoginWithoutCredentials) {
  startService();
  int err = -1;
  EXPECT_TRUE(tryLogin("", "", {}, &err));
  EXPECT_EQ(err, 0);
  const auto salts = getSalt("admin", &err);
  EXPECT_EQ(err, 0);
  ASSERT_EQ(salts.size(), 1u);
  EXPECT_FALSE(salts[0].usable());
  EXPECT_TRUE(getBackupclients(&err).empty());
  EXPECT_EQ(err, 0);
}

TEST_F(BackupServiceProtocol, SaltedLoginsWithAndWithoutPbkdf2) {
  const auto admin = work_.write("admin-password", "Adm1n\n");
  const auto ops = work_.write("ops-password", "0ps!\n");
  ASSERT_EQ(runBackupService({"adduser", "--store", store_.string(), "--user", "admin", "--password-file",
                              admin.string()}).status, 0);
  ASSERT_EQ(runBackupService({"adduser", "--store", store_.string(), "--user", "ops", "--password-file", ops.string(),
                              "--rounds", "2000"}).status, 0);
  startService();
  int err = -1;
  EXPECT_FALSE(tryLogin("", "", {}, &err)) << "a store with users wants credentials";
  EXPECT_TRUE(getBackupclients(&err).empty());
  EXPECT_EQ(err, 2) << "listings wait for a login";

  auto salts = getSalt("admin", &err);
  ASSERT_EQ(salts.size(), 1u);
  ASSERT_TRUE(salts[0].usable());
  EXPECT_EQ(salts[0].rounds, 0);
  EXPECT_FALSE(tryLogin("admin", "adm1n", salts, &err));
  salts = getSalt("admin", &err);
  EXPECT_TRUE(tryLogin("admin", "Adm1n", salts, &err));
  EXPECT_FALSE(tryLogin("admin", "Adm1n", salts, &err)) << "a challenge answers one login only";

  salts = getSalt("ops", &err);
  ASSERT_EQ(salts.size(), 1u);
  EXPECT_EQ(salts[0].rounds, 2000);
  EXPECT_TRUE(tryLogin("ops", "0ps!", salts, &err));

  const auto unknown = getSalt("nobody", &err);
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_FALSE(unknown[0].usable());
  getBackupclients(&err);
  EXPECT_EQ(err, 0) << "listings are served after a login";
}

TEST_F(BackupServiceProtocol, RefusedImagesAndRecordsGiveTheirCodes) {
  const SourceDisk source = makeSource();
  const int id = capture(source);
  startService({"--refuse-images"});
  const auto target = makeTarget(source.length);
  EXPECT_EQ(downloadImage(id, "1500000000", target.string(), false, -1, 0, nullptr, nullptr), 3);
  EXPECT_EQ(readBytes(target, 0, 4096), std::string(4096, kFiller));
  std::string errmsg;
  CRData data;
  EXPECT_TRUE(DownloadMBR(imageOf(id, 1500000000), errmsg, data)) << "records are still served";

  startService({"--refuse-records"});
  EXPECT_FALSE(DownloadMBR(imageOf(id, 1500000000), errmsg, data));
  EXPECT_EQ(errmsg, "cannot_read_mbr");
}

TEST_F(BackupServiceProtocol, StreamCutOnceIsResumedFromItsOffsetAndLandsWhole) {
  const SourceDisk source = makeSource();
  const int id = capture(source);
  // Size field, three whole block records and part of the fourth.
  startService({"--cut-once-after", std::to_string(8 + 3 * 4104 + 2000)});
  const auto target = makeTarget(source.length);
  EXPECT_EQ(downloadImage(id, "1500000000", target.string(), false, -1, 0, nullptr, nullptr), 0);
  expectRestored(source, target);
  // The three blocks handed over before the cut end at 13 * 4096.
  EXPECT_NE(service_->log().find("from offset " + std::to_string(13 * 4096)), std::string::npos) << service_->log();
}

TEST_F(BackupServiceProtocol, StreamCutEveryTimeFailsAfterBoundedResumes) {
  const SourceDisk source = makeSource();
  const int id = capture(source);
  // Every stream ends inside its first block: no resume gets further.
  startService({"--close-after", std::to_string(8 + 2000)});
  const auto target = makeTarget(source.length);
  EXPECT_EQ(downloadImage(id, "1500000000", target.string(), false, -1, 0, nullptr, nullptr), 4);
  for (const int64_t never_sent : source.data_blocks) {
    const std::string bytes = readBytes(target, never_sent, 4096);
    EXPECT_EQ(bytes, std::string(bytes.size(), kFiller)) << never_sent;
  }
  const std::string log = service_->log();
  size_t cuts = 0;
  for (size_t at = log.find("cut off after 2008 bytes"); at != std::string::npos;
       at = log.find("cut off after 2008 bytes", at + 1)) {
    ++cuts;
  }
  EXPECT_EQ(cuts, 6u) << "the first stream and five resumes\n" << log;
}

TEST_F(BackupServiceProtocol, StalledStreamReportsProgressAndEndsOnCancel) {
  const SourceDisk source = makeSource();
  const int id = capture(source);
  startService({"--stall-after", std::to_string(8 + 2 * 4104)});
  const auto target = makeTarget(source.length);
  auto download = std::async(std::launch::async, [&] {
    return downloadImage(id, "1500000000", target.string(), false, -1, 0, nullptr, nullptr);
  });
  std::string progress = "-1";
  for (int i = 0; i < 100 && progress == "-1"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    progress = progressReply();
  }
  EXPECT_EQ(progress, "0") << "the stall comes within the first piece of the stream";
  EXPECT_EQ(download.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout)
      << "a stalled stream does not end by itself";
  cancelrestore = true;
  ASSERT_EQ(download.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(download.get(), 4);
  EXPECT_EQ(readBytes(target, 200 * 4096, 4096), std::string(4096, kFiller));
}

TEST_F(BackupServiceProtocol, SizeFieldInTwoPiecesIsReadWhole) {
  const SourceDisk source = makeSource();
  const int id = capture(source);
  startService({"--split-size"});
  const auto target = makeTarget(source.length);
  int64_t image_size = 0;
  EXPECT_EQ(downloadImage(id, "1500000000", target.string(), false, -1, 0, &image_size, nullptr), 0);
  EXPECT_EQ(image_size, source.length);
  expectRestored(source, target);
  std::string errmsg;
  CRData data;
  ASSERT_TRUE(DownloadMBR(imageOf(id, 1500000000), errmsg, data));
  EXPECT_FALSE(SMBRData(data).decode_failed);
}

TEST_F(BackupServiceProtocol, GarbageListingsAndCorruptRecordsAreRejected) {
  const SourceDisk source = makeSource();
  const int id = capture(source);
  startService({"--garbage-listings", "--corrupt-records"});
  int err = -1;
  EXPECT_TRUE(getBackupclients(&err).empty());
  EXPECT_EQ(err, 1);
  EXPECT_TRUE(getBackupimages("alpha", &err).empty());
  EXPECT_EQ(err, 1);

  std::string errmsg;
  CRData data;
  ASSERT_TRUE(DownloadMBR(imageOf(id, 1500000000), errmsg, data)) << "the bytes arrive; their content is wrong";
  EXPECT_TRUE(SMBRData(data).decode_failed);
}

TEST_F(BackupServiceProtocol, LoopDiskPartitionRestoresOntoALoopDiskPartition) {
  SKIP_WITHOUT_RIG();
  Rig rig({{"source", "internal", "160M"}, {"target", "internal", "160M"}});
  rig.partition("source", "label: gpt\nsize=32M\nsize=96M\n");
  rig.mkfs("source", 2, "ext4", "DATA");
  rig.fill("source", 2);
  rig.partition("target", "label: gpt\nsize=32M\nsize=96M\n");
  const std::string target = rig.partition("target", 2);
  writeBytes(target, 0, std::string(static_cast<size_t>(96 * kMiB), kFiller));

  const int id = captureWithBackupService(
      {.store = store_, .client = "pc", .disk = rig.device("source"), .partition = 2, .letter = "E", .time = 1700000000,
       .associatedTo = 0, .allowPlainFile = false});
  startService();
  ASSERT_EQ(downloadImage(id, "1700000000", target, false, -1, 0, nullptr, nullptr), 0);

  const std::string original = readBytes(rig.partition("source", 2), 0, static_cast<size_t>(96 * kMiB));
  const std::string restored = readBytes(target, 0, static_cast<size_t>(96 * kMiB));
  ASSERT_EQ(original.size(), restored.size());
  int64_t holes = 0;
  for (size_t at = 0; at < original.size(); at += 4096) {
    const std::string block = original.substr(at, 4096);
    if (block == std::string(4096, '\0')) {
      ++holes;
      ASSERT_EQ(restored.substr(at, 4096), std::string(4096, kFiller)) << "hole at " << at;
    } else {
      ASSERT_EQ(restored.substr(at, 4096), block) << "block at " << at;
    }
  }
  EXPECT_GT(holes, 0);

  std::string errmsg;
  CRData data;
  ASSERT_TRUE(DownloadMBR(imageOf(id, 1700000000), errmsg, data));
  const SMBRData record(data);
  ASSERT_FALSE(record.decode_failed);
  EXPECT_EQ(record.mbr_data, readBytes(rig.device("source"), 0, 512));
  EXPECT_EQ(record.fsn, "ext4");
}
