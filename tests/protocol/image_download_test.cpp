#include "protocol/image_download.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <vector>
#include <thread>

#include "blockdev/write_ledger.h"
#include "common/file_size_limit.h"
#include "control/durable_progress.h"
#include "control/shared_state.h"
#include "protocol/mbr_record.h"
#include "protocol/service_fixture.h"
#include "support/pause.h"
#include "support/text.h"

namespace {

std::string readAll(const std::filesystem::path& path) { return getFile(path.string()); }

std::string block(char fill) { return std::string(4096, fill); }

class DownloadTest : public ServiceTest {
protected:
  void SetUp() override {
    ServiceTest::SetUp();
    cancelrestore = false;
    restore_retry_ok = false;
    // The waits before a resumed request are recorded, not slept.
    previousPause_ = setPauseFunction([this](std::chrono::milliseconds duration) {
      pauses_.push_back(duration);
      if (onPause_) onPause_();
    });
  }
  void TearDown() override {
    setPauseFunction(previousPause_);
    cancelrestore = false;
    ServiceTest::TearDown();
  }
  PauseFunction previousPause_;
  std::vector<std::chrono::milliseconds> pauses_;
  std::function<void()> onPause_;
  // Serves `stream` in the given pieces, pausing between them so that the
  // client sees them in separate reads.
  void serve(std::vector<std::string> pieces) {
    start([pieces](const std::string&, int socket) {
      for (const std::string& piece : pieces) {
        sendAll(socket, piece);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
      }
    });
  }
  int download(const std::string& target, bool mbr, int64_t* imageSize = nullptr, int64_t* targetSize = nullptr) {
    return downloadImage(5, "200", target, mbr, -1, 0, imageSize, targetSize);
  }
};

TEST_F(DownloadTest, SparseImageLandsAtItsPositionsAndIsReportedComplete) {
  const std::string size = int64Field(10000);
  // The size field itself comes in two pieces, and a position field is split.
  const std::string stream = int64Field(0) + block('a') + int64Field(8192) + block('b') + int64Field(INT64_MAX);
  serve({size.substr(0, 3), size.substr(3), stream.substr(0, 4101), stream.substr(4101)});
  const auto target = dir_.write("target", std::string(12288, '.'));
  int64_t imageSize = 0;
  int64_t targetSize = 0;
  EXPECT_EQ(download(target.string(), false, &imageSize, &targetSize), 0);
  EXPECT_EQ(imageSize, 10000);
  EXPECT_EQ(targetSize, 12288);
  EXPECT_TRUE(restore_retry_ok.load());
  EXPECT_EQ(readAll(target), block('a') + std::string(4096, '.') + std::string(1808, 'b') + std::string(2288, '.'));
  EXPECT_EQ(service_->requests().front(), "DOWNLOAD IMAGE#pw=s3rvice&pw&img_id=5&time=200&mbr=false");
}

// Several times what one receive buffer holds, sent as fast as the socket
// takes it: blocks and position fields are cut by receives and by the end of
// the buffer, and the writes gather runs across them.
TEST_F(DownloadTest, LargeImageLandsWhole) {
  constexpr int64_t blocks = 3000;
  constexpr int64_t imageSize = blocks * 4096 - 100;
  std::string expected(static_cast<size_t>(imageSize + 4096), '.');
  std::string stream = int64Field(imageSize);
  auto add = [&](int64_t position, int seed) {
    std::string data(4096, '\0');
    for (size_t j = 0; j < data.size(); ++j) data[j] = static_cast<char>(seed * 131 + j * 7 + j / 251);
    stream += int64Field(position) + data;
    const auto inside = static_cast<size_t>(std::min<int64_t>(4096, imageSize - position));
    expected.replace(static_cast<size_t>(position), inside, data.substr(0, inside));
  };
  for (int64_t i = 0; i < blocks; ++i) {
    if (i % 97 != 5) add(i * 4096, static_cast<int>(i));  // with gaps left untouched
  }
  add(4096, -1);  // going back, over a block written long before
  stream += int64Field(INT64_MAX);
  serve({stream});
  const auto target = dir_.write("target", std::string(expected.size(), '.'));
  EXPECT_EQ(download(target.string(), false), 0);
  EXPECT_TRUE(readAll(target) == expected);
}

TEST_F(DownloadTest, OffsetIsSentOnlyWhenGiven) {
  serve({int64Field(-1)});
  const auto target = dir_.write("target", "");
  EXPECT_EQ(downloadImage(7, "123", target.string(), true, 4096, 0, nullptr, nullptr), 3);
  EXPECT_EQ(service_->requests().front(), "DOWNLOAD IMAGE#pw=s3rvice&pw&img_id=7&time=123&mbr=true&offset=4096");
}

// The connection breaks inside the third block: the first two are on the
// target, and the request is repeated from the end of the second.
TEST_F(DownloadTest, BrokenStreamIsResumedFromTheEndOfTheHandedBlocks) {
  std::atomic<int> connections{0};
  start([&](const std::string&, int socket) {
    if (connections++ == 0) {
      sendAll(socket, int64Field(16384) + int64Field(0) + block('a') + int64Field(4096) + block('b') +
                          int64Field(8192) + block('c').substr(0, 1000));
      return;
    }
    sendAll(socket, int64Field(16384) + int64Field(8192) + block('c') + int64Field(12288) + block('d') +
                        int64Field(INT64_MAX));
  });
  const auto target = dir_.write("target", std::string(16384, '.'));
  EXPECT_EQ(download(target.string(), false), 0);
  EXPECT_EQ(readAll(target), block('a') + block('b') + block('c') + block('d'));
  const std::vector<std::string> requests = service_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1], requests[0] + "&offset=8192");
  std::chrono::milliseconds waited{0};
  for (const auto pause : pauses_) waited += pause;
  EXPECT_GE(waited, std::chrono::milliseconds(500)) << "the service is given a moment before it is asked again";
  EXPECT_LE(waited, std::chrono::seconds(5));
  service_.reset();
}

TEST_F(DownloadTest, ResumesAreBoundedAndNeverEndInSuccess) {
  // Every stream breaks before the end marker.
  serve({int64Field(8192) + int64Field(0) + block('a') + int64Field(4096) + block('b').substr(0, 10)});
  const auto target = dir_.write("target", std::string(8192, '.'));
  EXPECT_EQ(download(target.string(), false), 4);
  EXPECT_EQ(service_->requests().size(), 6u) << "the first request and five resumes";
  EXPECT_EQ(readAll(target), std::string(8192, '.'));
}

TEST_F(DownloadTest, WhatStopsAResume) {
  const std::string broken = int64Field(8192) + int64Field(0) + block('a') + int64Field(4096) + block('b').substr(0, 10);
  {
    SCOPED_TRACE("a cancel during the wait before the resume");
    serve({broken});
    onPause_ = [] { cancelrestore = true; };
    const auto target = dir_.write("target", std::string(8192, '.'));
    EXPECT_EQ(download(target.string(), false), 4);
    EXPECT_EQ(service_->requests().size(), 1u);
    onPause_ = nullptr;
    cancelrestore = false;
    service_.reset();
  }
  {
    SCOPED_TRACE("the resumed reply announces another image size");
    std::atomic<int> connections{0};
    start([&](const std::string&, int socket) {
      sendAll(socket, connections++ == 0 ? broken : int64Field(4096) + int64Field(INT64_MAX));
    });
    const auto target = dir_.write("target", std::string(8192, '.'));
    EXPECT_EQ(download(target.string(), false), 4);
    EXPECT_EQ(service_->requests().size(), 2u);
    service_.reset();
  }
  {
    SCOPED_TRACE("blocks came out of order: no single offset covers what is missing");
    serve({int64Field(12288) + int64Field(8192) + block('c') + int64Field(0) + block('a') + int64Field(4096)});
    const auto target = dir_.write("target", std::string(12288, '.'));
    EXPECT_EQ(download(target.string(), false), 4);
    EXPECT_EQ(service_->requests().size(), 1u);
    service_.reset();
  }
  {
    SCOPED_TRACE("the stream broke before any block data");
    serve({int64Field(8192)});
    const auto target = dir_.write("target", std::string(8192, '.'));
    EXPECT_EQ(download(target.string(), false), 4);
    EXPECT_EQ(service_->requests().size(), 1u);
  }
}

// A target that held a file system: once the image stream has begun, the old
// signature is gone, and until the image is whole no new one is there, while
// the blocks past the first MiB are already written.
TEST_F(DownloadTest, UnfinishedImageLeavesNoFileSystemToBeFound) {
  constexpr int64_t mib = 1024 * 1024;
  const auto target = dir_.write("target", "");
  std::filesystem::resize_file(target, 4 * mib);
  const auto run = [](const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  ASSERT_EQ(run("mkfs.ext4 -q -F " + target.string() + " >/dev/null 2>&1"), 0);
  const auto probe = [&] { return run("blkid -p " + target.string() + " >/dev/null 2>&1"); };
  ASSERT_EQ(probe(), 0) << "the old file system is found before the restore";
  const std::string before = readAll(target).substr(0, mib);
  serve({int64Field(4 * mib) + int64Field(0) + block('s') + int64Field(2 * mib) + block('m') + int64Field(3 * mib) +
         block('n')});
  EXPECT_EQ(download(target.string(), false), 4);
  EXPECT_EQ(probe(), 2) << "blkid finds no file system";
  const std::string after = readAll(target);
  EXPECT_EQ(after.substr(2 * mib, 4096), block('m'));
  size_t changed = 0;
  for (size_t i = 0; i < before.size(); ++i) changed += before[i] != after[i] ? 1 : 0;
  EXPECT_GT(changed, 0u);
  EXPECT_LE(changed, 16u) << "only the signature is wiped; the held-back block is not written";
}

// A write that does not hold what was handed over turns the result into a
// failure, for the blocks of the image and for its held-back start alike.
TEST_F(DownloadTest, DamagedWritesAreCaughtByTheReadBack) {
  constexpr int64_t mib = 1024 * 1024;
  const std::string stream = int64Field(2 * mib) + int64Field(0) + block('s') + int64Field(mib + 4096) +
                             block('m') + int64Field(INT64_MAX);
  for (const int64_t damaged : {mib + 4096, int64_t{0}}) {
    SCOPED_TRACE(damaged);
    serve({stream});
    const auto target = dir_.write("target", std::string(2 * mib, '.'));
    blockdev::setAfterWriteHookForTests([damaged](int descriptor, int64_t start, size_t length) {
      if (start <= damaged && damaged < start + static_cast<int64_t>(length)) {
        ASSERT_EQ(::pwrite(descriptor, "X", 1, damaged), 1);
      }
    });
    EXPECT_EQ(download(target.string(), false), 6);
    blockdev::setAfterWriteHookForTests(nullptr);
    service_.reset();
    serve({stream});
    EXPECT_EQ(download(target.string(), false), 0) << "undamaged, the same image verifies";
    service_.reset();
  }
}

TEST_F(DownloadTest, ProgressStaysBelow100UntilTheImageIsFlushedAndVerified) {
  constexpr int64_t mib = 1024 * 1024;
  serve({int64Field(3 * mib) + int64Field(0) + block('s') + int64Field(mib) + block('a') + int64Field(2 * mib) +
         block('b') + int64Field(INT64_MAX)});
  const auto target = dir_.write("target", std::string(3 * mib, '.'));
  int highest = -1;
  blockdev::setAfterWriteHookForTests([&](int, int64_t, size_t) {
    highest = std::max(highest, durableDownloadProgress.scale(100));
  });
  EXPECT_EQ(download(target.string(), false), 0);
  blockdev::setAfterWriteHookForTests(nullptr);
  EXPECT_GE(highest, 0);
  EXPECT_LT(highest, 100) << "not while any write was still being made";
  EXPECT_EQ(durableDownloadProgress.scale(100), 100);
}

TEST_F(DownloadTest, RefusalsAndASmallTargetLeaveTheTargetAlone) {
  for (const int64_t refusal : {int64_t{-1}, int64_t{-2}, int64_t{-77}}) {
    serve({int64Field(refusal)});
    const auto target = dir_.write("target", "untouched");
    int64_t imageSize = 0;
    EXPECT_EQ(download(target.string(), false, &imageSize), 3) << refusal;
    EXPECT_EQ(imageSize, refusal);
    EXPECT_EQ(readAll(target), "untouched");
    service_.reset();
  }
  serve({int64Field(4096) + int64Field(0) + block('x') + int64Field(INT64_MAX)});
  const auto small = dir_.write("small", std::string(4095, '.'));
  EXPECT_EQ(download(small.string(), false), 11);
  EXPECT_EQ(readAll(small), std::string(4095, '.'));
}

TEST_F(DownloadTest, SizeThatNeverArrivesWholeIsAStreamFailure) {
  serve({int64Field(4096).substr(0, 3)});
  const auto target = dir_.write("target", std::string(8192, '.'));
  int64_t imageSize = 0;
  EXPECT_EQ(download(target.string(), false, &imageSize), 4);
  EXPECT_EQ(imageSize, -1);
}

TEST_F(DownloadTest, MissingEndMarkerFailsAndHoldsBackTheLastBlock) {
  serve({int64Field(8192) + int64Field(0) + block('a') + int64Field(4096) + block('b')});
  const auto target = dir_.write("target", std::string(8192, '.'));
  EXPECT_EQ(download(target.string(), false), 4);
  // Nothing of the first MiB lands before the whole image is written.
  EXPECT_EQ(readAll(target), std::string(8192, '.'));
}

TEST_F(DownloadTest, CancelDuringTheTransferStops) {
  start([](const std::string&, int socket) {
    sendAll(socket, int64Field(12288) + int64Field(0) + block('a') + int64Field(4096));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancelrestore = true;
    sendAll(socket, block('b') + int64Field(8192) + block('c') + int64Field(INT64_MAX));
    FakeBackupService::waitForClose(socket, 10);
  });
  const auto target = dir_.write("target", std::string(12288, '.'));
  EXPECT_EQ(download(target.string(), false), 4);
  EXPECT_EQ(readAll(target).substr(8192), std::string(4096, '.'));
}

TEST_F(DownloadTest, CancelIsNoticedWhileTheServiceIsSilent) {
  start([](const std::string&, int socket) {
    sendAll(socket, int64Field(8192) + int64Field(0) + block('a'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancelrestore = true;
    FakeBackupService::waitForClose(socket, 60);
  });
  const auto target = dir_.write("target", std::string(8192, '.'));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(download(target.string(), false), 4);
  // Far below the 180 s read time-out: the stalled read gave way to the cancel.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST_F(DownloadTest, FailingWritesOnTheTargetAreReported) {
  serve({int64Field(16384) + int64Field(0) + block('a') + int64Field(4096) + block('b') + int64Field(8192) +
         block('c') + int64Field(12288) + block('d') + int64Field(INT64_MAX)});
  const auto target = dir_.write("target", "");
  std::filesystem::resize_file(target, 16384);

  int result = 0;
  {
    const FileSizeLimit limit(8192);
    result = download(target.string(), false);
  }
  EXPECT_EQ(result, 6);
}

TEST_F(DownloadTest, MissingTargetAndNoService) {
  EXPECT_EQ(download("absent", false), 10);
  serve({int64Field(10)});
  EXPECT_EQ(download((dir_.path() / "absent").string(), false), 2);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "absent"));
}

TEST_F(DownloadTest, PartitionTableModeWritesTheRecordAsItComes) {
  std::string record(600, '\0');
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>(i * 13);
  serve({int64Field(600) + record.substr(0, 512), record.substr(512)});
  const auto target = dir_.write("mbr.dat", "");
  EXPECT_EQ(download(target.string(), true), 0);
  EXPECT_EQ(readAll(target), record);
  EXPECT_FALSE(restore_retry_ok.load());
}

TEST_F(DownloadTest, PartitionTableModeEdges) {
  serve({int64Field(0)});
  const auto empty = dir_.write("empty", "");
  EXPECT_EQ(download(empty.string(), true), 0);
  EXPECT_EQ(std::filesystem::file_size(empty), 0u);
  service_.reset();

  serve({int64Field(600) + std::string(512, 'r')});
  const auto cut = dir_.write("cut", "");
  EXPECT_EQ(download(cut.string(), true), 4);
  service_.reset();

  serve({int64Field(100) + std::string(100, 'r')});
  EXPECT_EQ(download("/dev/full", true), 6);
  service_.reset();

  // Bytes past the announced size are not part of the record.
  serve({int64Field(4) + "abcdEXTRA"});
  const auto exact = dir_.write("exact", "");
  EXPECT_EQ(download(exact.string(), true), 0);
  EXPECT_EQ(readAll(exact), "abcd");
}

TEST_F(DownloadTest, AnOversizedPartitionTableRecordIsRefusedBeforeAByteIsWritten) {
  for (const int64_t announced : {int64_t{1} << 40, (int64_t{1} << 20) + 1}) {
    serve({int64Field(announced) + std::string(64 * 1024, 'r')});
    const auto target = dir_.write("mbr.dat", "");
    EXPECT_NE(download(target.string(), true), 0) << announced;
    EXPECT_EQ(std::filesystem::file_size(target), 0u) << announced;
    service_.reset();
  }
  // The limit itself is a record.
  serve({int64Field(int64_t{1} << 20) + std::string(size_t{1} << 20, 'r')});
  const auto largest = dir_.write("largest", "");
  EXPECT_EQ(download(largest.string(), true), 0);
  EXPECT_EQ(std::filesystem::file_size(largest), size_t{1} << 20);
}

TEST_F(DownloadTest, PartitionTableRecordIsDownloadedAndDecoded) {
  CWData record;
  record.addUChar(0);
  record.addUChar(0);
  record.addInt(2);
  record.addInt(1);
  record.addString("serial");
  record.addString("C");
  record.addString("NTFS");
  record.addString(std::string(512, 'm'));
  const std::string bytes(record.getDataPtr(), record.getDataSize());
  serve({int64Field(static_cast<int64_t>(bytes.size())) + bytes});
  // A longer leftover from an earlier download must not trail the new record.
  dir_.write("mbr.dat", std::string(5000, 'z'));

  SImage image;
  image.image_id = 9;
  image.backup_time = 1500000000;
  std::string errmsg;
  CRData data;
  ASSERT_TRUE(DownloadMBR(image, errmsg, data));
  EXPECT_EQ(errmsg, "");
  EXPECT_EQ(readAll(dir_.path() / "mbr.dat"), bytes);
  EXPECT_EQ(service_->requests().front(), "DOWNLOAD IMAGE#pw=s3rvice&pw&img_id=9&time=1500000000&mbr=true");
  const SMBRData decoded(data);
  EXPECT_FALSE(decoded.decode_failed);
  EXPECT_EQ(decoded.device_number, 2);
  EXPECT_EQ(decoded.mbr_data, std::string(512, 'm'));
}

TEST_F(DownloadTest, PartitionTableDownloadFailureIsOneWord) {
  serve({int64Field(-2)});
  SImage image;
  std::string errmsg;
  CRData data;
  EXPECT_FALSE(DownloadMBR(image, errmsg, data));
  EXPECT_EQ(errmsg, "cannot_read_mbr");
}

}  // namespace
