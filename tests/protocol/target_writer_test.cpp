#include "protocol/target_writer.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <csignal>
#include <deque>
#include <string>

#include "common/temp_dir.h"
#include "support/file.h"
#include "support/text.h"

namespace {

std::string readAll(const std::filesystem::path& path) { return getFile(path.string()); }

class TargetWriterTest : public ::testing::Test {
protected:
  void SetUp() override {
    path_ = dir_.write("target", std::string(64 * 1024, '.'));
    ASSERT_TRUE(file_.Open(path_.string(), 10));
  }
  TempDir dir_;
  std::filesystem::path path_;
  File file_;
};

TEST_F(TargetWriterTest, GatheredBlocksLandWhereEachBlockBelongs) {
  // Capacity of two blocks: runs of adjacent blocks, gaps, a block going back,
  // and a rewrite of an earlier block whose later content must win.
  CoalescingFileWriter writer(file_, 8192);
  std::string expected(64 * 1024, '.');
  std::deque<std::string> handed;  // the writer keeps pointers, not copies
  auto put = [&](int64_t at, char fill, size_t length) {
    const std::string& data = handed.emplace_back(length, fill);
    ASSERT_TRUE(writer.writeAt(at, data.data(), data.size()));
    expected.replace(static_cast<size_t>(at), length, data);
  };
  put(0, 'a', 4096);
  put(4096, 'b', 4096);
  put(8192, 'c', 4096);  // buffer full: the first two go out first
  put(20480, 'd', 4096);
  put(24576, 'e', 1000);
  put(4096, 'B', 4096);  // back to an earlier place
  put(8192, 'C', 4096);
  put(40000, 'f', 10000);  // larger than the buffer on its own
  put(50000, 'g', 3000);
  ASSERT_TRUE(writer.flush());
  EXPECT_EQ(readAll(path_), expected);
}

// Runs that cross the capacity in odd places, and more adjacent pieces than
// one vectored call takes.
TEST_F(TargetWriterTest, LongRunsOfSmallPiecesLandWhole) {
  std::string expected(64 * 1024, '.');
  std::string source(48000, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>('a' + i % 23 + i / 997 % 3);
  {
    CoalescingFileWriter writer(file_, 10000);
    for (size_t at = 0; at < 30000; at += 3000) ASSERT_TRUE(writer.writeAt(static_cast<int64_t>(at), &source[at], 3000));
    ASSERT_TRUE(writer.flush());
  }
  {
    CoalescingFileWriter writer(file_, 1024 * 1024);
    for (size_t at = 30000; at < source.size(); at += 6) ASSERT_TRUE(writer.writeAt(static_cast<int64_t>(at), &source[at], 6));
    ASSERT_TRUE(writer.flush());
  }
  expected.replace(0, source.size(), source);
  EXPECT_EQ(readAll(path_), expected);
}

TEST_F(TargetWriterTest, NothingReachesTheFileBeforeFlushOrAFullBuffer) {
  CoalescingFileWriter writer(file_, 8192);
  const std::string data(4096, 'x');
  ASSERT_TRUE(writer.writeAt(0, data.data(), data.size()));
  EXPECT_EQ(readAll(path_).substr(0, 4), "....");
  ASSERT_TRUE(writer.flush());
  EXPECT_EQ(readAll(path_).substr(0, 4), "xxxx");
  EXPECT_TRUE(writer.flush());  // nothing left: still fine
}

TEST(TargetWriterFailureTest, DeviceThatRefusesWritesFailsFlushAndWriteFully) {
  File full;
  ASSERT_TRUE(full.Open("/dev/full", 10));
  CoalescingFileWriter writer(full, 8192);
  const std::string data(4096, 'x');
  EXPECT_TRUE(writer.writeAt(0, data.data(), data.size()));  // only gathered so far
  EXPECT_FALSE(writer.flush());
  EXPECT_FALSE(writeFully(full, -1, data.data(), data.size()));
  EXPECT_FALSE(writeFully(full, 0, data.data(), data.size()));
}

// A file-size limit turns a write that crosses it into a short write and the
// next one into an error, the two cases writeFully must tell from success.
TEST(TargetWriterFailureTest, ShortWriteIsContinuedAndTheFailureAfterItReported) {
  TempDir dir;
  const auto path = dir.write("limited", "");
  File file;
  ASSERT_TRUE(file.Open(path.string(), 10));
  const std::string data(10000, 'w');

  ASSERT_TRUE(writeFully(file, 0, data.data(), 5000));

  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = old;
  limited.rlim_cur = 8192;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const bool crossed = writeFully(file, 5000, data.data(), data.size());
  // Gathered pieces whose vectored write is cut inside the second piece.
  CoalescingFileWriter writer(file);
  const std::string a(3000, 'a'), b(3000, 'b'), c(3000, 'c');
  bool gathered = true;
  for (const std::string* piece : {&a, &b, &c}) {
    gathered = gathered && writer.writeAt(static_cast<int64_t>(piece->front() - 'a') * 3000, piece->data(), 3000);
  }
  limited.rlim_cur = 5000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const bool flushed = writer.flush();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(crossed);
  EXPECT_TRUE(gathered);
  EXPECT_FALSE(flushed);
  EXPECT_EQ(std::filesystem::file_size(path), 8192u);
  EXPECT_EQ(readAll(path).substr(0, 5000), a + std::string(2000, 'b'));
}

TEST(TargetWriterFailureTest, NegativeOffsetWritesAtTheCurrentPosition) {
  TempDir dir;
  const auto path = dir.write("plain", std::string(10, '.'));
  File file;
  ASSERT_TRUE(file.Open(path.string(), 10));
  ASSERT_TRUE(file.Seek(4));
  ASSERT_TRUE(writeFully(file, -1, "ab", 2));
  ASSERT_TRUE(writeFully(file, -1, "cd", 2));
  EXPECT_EQ(readAll(path), "....abcd..");
}

}  // namespace
