// The read-back's reader runs a piece ahead on a thread of its own, with two
// slots of memory in turn: whatever the timing, each awaited piece holds the
// file's bytes at its own position, and a caller that stops early (a range
// that differed) is not kept waiting.
#include "blockdev/read_ahead.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace {

constexpr size_t kPiece = 8192;

std::string pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 13 + i / 4093);
  return bytes;
}

class ReadAheadTest : public ::testing::Test {
protected:
  void SetUp() override {
    path_ = dir_.write("image", content_).string();
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override { ::close(fd_); }

  const std::string content_ = pattern(9 * kPiece + 100);
  TempDir dir_;
  std::string path_;
  int fd_ = -1;
};

TEST_F(ReadAheadTest, EveryPieceHoldsItsOwnBytesAndTheEndIsShort) {
  std::vector<blockdev::ReadAhead::Piece> plan;
  for (size_t at = 0; at < content_.size(); at += kPiece) {
    plan.push_back({at / kPiece, static_cast<int64_t>(at), kPiece});
  }
  blockdev::ReadAhead reader(fd_, plan);
  ASSERT_TRUE(reader.ready());
  for (size_t i = 0; i < reader.count(); ++i) {
    const blockdev::ReadAhead::Read read = reader.await(i);
    const size_t expected = std::min(kPiece, content_.size() - i * kPiece);
    EXPECT_EQ(read.error, 0);
    ASSERT_EQ(read.bytes, expected) << "piece " << i;
    EXPECT_TRUE(std::string(read.data, read.bytes) == content_.substr(i * kPiece, expected)) << "piece " << i;
    reader.release(i);
  }
}

TEST_F(ReadAheadTest, ACallerThatStopsEarlyIsNotKeptWaiting) {
  std::vector<blockdev::ReadAhead::Piece> plan(200, {0, 0, kPiece});
  blockdev::ReadAhead reader(fd_, plan);
  ASSERT_TRUE(reader.ready());
  EXPECT_EQ(reader.await(0).bytes, kPiece);
  // Gone here with the reader a slot ahead and waiting for a release.
}

}  // namespace
