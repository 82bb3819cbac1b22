// --image-download-progress against the real backup service, while a slow
// client holds an image download open.
#include <atomic>
#include <future>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "common/backup_service_process.h"
#include "common/temp_dir.h"
#include "companions/backup_service/disk_images.h"
#include "protocol/pipe.h"
#include "protocol/server_connection.h"
#include "protocol/tcp_stack.h"
#include "tool_runner.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kMiB = 1024 * 1024;
constexpr char kPassword[] = "progress-pw";
constexpr int64_t kBackupTime = 1600000000;

class DownloadProgressAgainstService : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = fs::current_path();
    // Both the tool and the service read keelback/pw.txt from here.
    fs::current_path(work_.path());
    writeServicePassword(work_.path(), kPassword);
    store_ = work_.path() / "store";
    ASSERT_EQ(runBackupService({"init", "--store", store_.string()}).status, 0);
  }
  void TearDown() override { fs::current_path(previous_); }

  void startService() {
    BackupServiceOptions options;
    options.store = store_;
    options.workingDirectory = work_.path();
    service_ = std::make_unique<BackupServiceProcess>(options);
  }

  // An image whose every block holds data, so that the stream is as long as
  // the partition and its progress moves block by block.
  int captureFullImage(int64_t partition_bytes) {
    const fs::path disk = work_.path() / "source.img";
    makeDiskImage(disk, partition_bytes + 4 * kMiB, "label: dos\nstart=2048, size=" + std::to_string(partition_bytes / 512) + ", type=83\n");
    std::string data;
    for (int64_t at = 0; at < partition_bytes; at += 4096) {
      data += patternBlock(static_cast<int>(at / 4096));
    }
    writeBytes(disk, 2048 * 512, data);
    return captureWithBackupService({.store = store_, .client = "alpha", .disk = disk.string(), .partition = 1,
                                     .letter = "C", .time = kBackupTime, .allowPlainFile = true});
  }

  static std::string progressReply() {
    int err = 0;
    return requestReply(std::string("GET DOWNLOAD PROGRESS#pw=") + kPassword, 5000, &err);
  }

  TempDir work_;
  fs::path previous_;
  fs::path store_;
  std::unique_ptr<BackupServiceProcess> service_;
};

TEST_F(DownloadProgressAgainstService, FollowsARunningDownloadToItsEnd) {
  const int id = captureFullImage(64 * kMiB);
  startService();

  // The client takes the stream at about 16 MB/s, so the download lasts a few
  // seconds beyond what the socket buffers hold.
  std::atomic<bool> reading{true};
  auto client = std::async(std::launch::async, [&] {
    const PipePtr pipe(Server::ConnectStream("localhost", serviceport, 5000));
    if (!pipe) {
      reading = false;
      return int64_t{-1};
    }
    CTCPStack stack;
    stack.Send(pipe.get(), std::string("DOWNLOAD IMAGE#pw=") + kPassword + "&img_id=" + std::to_string(id) +
                               "&time=" + std::to_string(kBackupTime) + "&mbr=false",
               10000, true);
    int64_t received = 0;
    char buffer[65536];
    for (;;) {
      const size_t got = pipe->Read(buffer, sizeof(buffer), 30000);
      if (got == 0) {
        break;
      }
      received += static_cast<int64_t>(got);
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    reading = false;
    return received;
  });

  std::string progress = progressReply();
  for (int i = 0; i < 100 && progress == "-1" && reading; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    progress = progressReply();
  }
  ASSERT_NE(progress, "-1") << "the download never showed up";

  // The service counts blocks handed to the socket, so it may reach 100 while
  // the client still drains the socket buffers; either way the tool ends.
  const ToolRun run = runTool({"--image-download-progress"});
  EXPECT_GT(client.get(), 64 * kMiB);
  EXPECT_EQ(run.status, 0) << run.err;
  const auto lines = run.lines();
  ASSERT_GE(lines.size(), 2u) << run.out;
  int previous = -1;
  for (const std::string& line : lines) {
    ASSERT_TRUE(std::regex_match(line, std::regex("[0-9]{1,3}"))) << "not a bare number: " << line;
    const int value = std::stoi(line);
    EXPECT_GT(value, previous) << "each line is a change";
    EXPECT_LE(value, 100);
    previous = value;
  }
}

TEST_F(DownloadProgressAgainstService, EndsWhenNoDownloadStarts) {
  startService();
  const auto started = std::chrono::steady_clock::now();
  const ToolRun run = runTool({"--image-download-progress"});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "") << "every output line would be taken for a percentage";
  EXPECT_NE(run.err.find("no image download started"), std::string::npos) << run.err;
}

}  // namespace
