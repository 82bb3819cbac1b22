#include "protocol/target_writer.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <csignal>
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
  auto put = [&](int64_t at, char fill, size_t length) {
    const std::string data(length, fill);
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
  put(40000, 'f', 10000);  // larger than the buffer: written directly
  ASSERT_TRUE(writer.flush());
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
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(crossed);
  EXPECT_EQ(std::filesystem::file_size(path), 8192u);
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
