#include "blockdev/target_writer.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "blockdev/direct_target.h"
#include "common/file_size_limit.h"
#include "common/temp_dir.h"
#include "protocol/image_stream.h"
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

class TargetWriterModesTest : public TargetWriterTest, public ::testing::WithParamInterface<bool> {};

// With and without the writing thread. Capacity of two blocks: runs of
// adjacent blocks, gaps, a block going back, and a rewrite of an earlier
// block whose later content must win, written past the cache and through it
// (the unaligned ones) over each other.
TEST_P(TargetWriterModesTest, GatheredBlocksLandWhereEachBlockBelongs) {
  CoalescingFileWriter writer(file_.descriptor(), file_.name(), 8192, GetParam());
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
  put(40960, 'h', 8192);  // aligned, over the unaligned 'f' run
  put(41000, 'i', 100);   // and the other way round
  ASSERT_TRUE(writer.finish());
  EXPECT_EQ(readAll(path_), expected);
}

INSTANTIATE_TEST_SUITE_P(Threads, TargetWriterModesTest, ::testing::Values(true, false),
                         [](const auto& test) { return test.param ? "background" : "inline"; });

// Runs that cross the capacity in odd places, and more adjacent pieces than
// one vectored call takes.
TEST_F(TargetWriterTest, LongRunsOfSmallPiecesLandWhole) {
  std::string expected(64 * 1024, '.');
  std::string source(48000, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>('a' + i % 23 + i / 997 % 3);
  {
    CoalescingFileWriter writer(file_.descriptor(), file_.name(), 10000);
    for (size_t at = 0; at < 30000; at += 3000) ASSERT_TRUE(writer.writeAt(static_cast<int64_t>(at), &source[at], 3000));
    ASSERT_TRUE(writer.finish());
  }
  {
    CoalescingFileWriter writer(file_.descriptor(), file_.name(), 1024 * 1024);
    for (size_t at = 30000; at < source.size(); at += 6) ASSERT_TRUE(writer.writeAt(static_cast<int64_t>(at), &source[at], 6));
    ASSERT_TRUE(writer.finish());
  }
  expected.replace(0, source.size(), source);
  EXPECT_EQ(readAll(path_), expected);
}

TEST_F(TargetWriterTest, NothingReachesTheFileBeforeItsRunIsComplete) {
  CoalescingFileWriter writer(file_.descriptor(), file_.name(), 8192, false);
  const std::string data(4096, 'x');
  ASSERT_TRUE(writer.writeAt(0, data.data(), data.size()));
  EXPECT_EQ(readAll(path_).substr(0, 4), "....");
  ASSERT_TRUE(writer.writeAt(8192, data.data(), data.size()));  // not adjacent: the first run is complete
  EXPECT_EQ(readAll(path_).substr(0, 4), "xxxx");
  EXPECT_EQ(readAll(path_).substr(8192, 4), "....");
  ASSERT_TRUE(writer.flush());
  EXPECT_EQ(readAll(path_).substr(8192, 4), "xxxx");
  EXPECT_TRUE(writer.finish());  // nothing left: still fine
}

// The parser reuses a buffer once the second flush after its blocks has
// returned: by then they must be on the file, whatever the thread is doing.
TEST_F(TargetWriterTest, FlushWaitsForWhatCameBeforeThePreviousFlush) {
  CoalescingFileWriter writer(file_.descriptor(), file_.name(), 4096);
  std::string first(4096, 'a');
  const std::string second(4096, 'b');
  ASSERT_TRUE(writer.writeAt(0, first.data(), first.size()));
  ASSERT_TRUE(writer.flush());
  ASSERT_TRUE(writer.writeAt(16384, second.data(), second.size()));
  ASSERT_TRUE(writer.flush());
  first.assign(4096, '!');  // the parser's reuse: too late to change the file
  EXPECT_EQ(readAll(path_).substr(0, 4096), std::string(4096, 'a'));
  ASSERT_TRUE(writer.finish());
  EXPECT_EQ(readAll(path_).substr(16384, 4096), second);
}

TEST(TargetWriterFailureTest, DeviceThatRefusesWritesFailsFlushAndWriteFully) {
  File full;
  ASSERT_TRUE(full.Open("/dev/full", 10));
  CoalescingFileWriter writer(full.descriptor(), full.name(), 8192);
  const std::string data(4096, 'x');
  EXPECT_TRUE(writer.writeAt(0, data.data(), data.size()));  // only gathered so far
  EXPECT_FALSE(writer.finish());
  EXPECT_NE(writer.error().find("/dev/full"), std::string::npos) << writer.error();
  EXPECT_NE(writer.error().find("No space left on device"), std::string::npos) << writer.error();
  // Once failed, the writer takes nothing more.
  EXPECT_FALSE(writer.writeAt(4096, data.data(), data.size()));
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
  const std::string a(3000, 'a'), b(3000, 'b'), c(3000, 'c');

  ASSERT_TRUE(writeFully(file, 0, data.data(), 5000));

  bool crossed = true, gathered = true, flushed = true;
  {
    FileSizeLimit limit(8192);
    crossed = writeFully(file, 5000, data.data(), data.size());
    // Gathered pieces whose vectored write is cut inside the second piece.
    CoalescingFileWriter writer(file.descriptor(), file.name(), CoalescingFileWriter::defaultCapacity, false);
    for (const std::string* piece : {&a, &b, &c}) {
      gathered = gathered && writer.writeAt(static_cast<int64_t>(piece->front() - 'a') * 3000, piece->data(), 3000);
    }
    ASSERT_TRUE(limit.set(5000));
    flushed = writer.flush();
  }

  EXPECT_FALSE(crossed);
  EXPECT_TRUE(gathered);
  EXPECT_FALSE(flushed);
  EXPECT_EQ(std::filesystem::file_size(path), 8192u);
  EXPECT_EQ(readAll(path).substr(0, 5000), a + std::string(2000, 'b'));
}

// A run that goes past the cache and is cut short by the limit: the rest is
// tried through the cache, refused there too, and the run is a failure.
TEST(TargetWriterFailureTest, DirectRunCutShortIsAFailedWrite) {
  TempDir dir;
  const auto path = dir.write("limited", "");
  File file;
  ASSERT_TRUE(file.Open(path.string(), 10));
  ASSERT_TRUE(DirectTarget(file.descriptor(), 8192).usable()) << "the test directory allows no direct I/O";
  const std::string blocks(3 * 4096, 'd');

  bool gathered = false, finished = true;
  {
    const FileSizeLimit limit(8192);
    CoalescingFileWriter writer(file.descriptor(), file.name(), CoalescingFileWriter::defaultCapacity, false);
    gathered = writer.writeAt(0, blocks.data(), blocks.size());
    finished = writer.finish();
  }

  EXPECT_TRUE(gathered);
  EXPECT_FALSE(finished);
  EXPECT_EQ(readAll(path), std::string(8192, 'd'));
}

// Runs that go past the cache wait for one of the writer's few aligned
// slots; after a failed write the runs still queued give theirs back
// unwritten, so a sender of many more runs than slots is told of the failure
// instead of waiting for ever.
TEST(TargetWriterFailureTest, RunsAfterAFailedDirectWriteAreDroppedWithoutAHang) {
  TempDir dir;
  const auto path = dir.write("limited", "");
  File file;
  ASSERT_TRUE(file.Open(path.string(), 10));
  ASSERT_TRUE(DirectTarget(file.descriptor(), 4096).usable()) << "the test directory allows no direct I/O";
  const std::string block(4096, 'r');

  bool finished = true;
  {
    const FileSizeLimit limit(8192);
    CoalescingFileWriter writer(file.descriptor(), file.name(), 4096, true);
    // Gaps between the blocks make each its own run.
    for (int64_t at = 0; at < 40 * 8192; at += 8192) {
      if (!writer.writeAt(at, block.data(), block.size())) {
        break;
      }
    }
    finished = writer.finish();
  }

  EXPECT_FALSE(finished);
  EXPECT_EQ(readAll(path).substr(0, 4096), block);
}

TEST(DirectTargetTest, TakesOnlyWholeAlignedRunsThatFit) {
  TempDir dir;
  const auto path = dir.write("target", std::string(65536, '.'));
  File file;
  ASSERT_TRUE(file.Open(path.string(), 10));
  const DirectTarget direct(file.descriptor(), 16384);
  ASSERT_TRUE(direct.usable()) << "the test directory allows no direct I/O";
  EXPECT_TRUE(direct.takes(0, 4096));
  EXPECT_TRUE(direct.takes(8192, 16384));
  EXPECT_FALSE(direct.takes(8192, 20480));  // more than the aligned buffer holds
  EXPECT_FALSE(direct.takes(512, 4096));    // a sector boundary is not enough
  EXPECT_FALSE(direct.takes(4096, 4095));
  EXPECT_FALSE(direct.takes(4096, 0));
  EXPECT_FALSE(direct.takes(-4096, 4096));
  // No aligned buffer can be made of a capacity that is not whole blocks.
  EXPECT_FALSE(DirectTarget(file.descriptor(), 6000).usable());
}

std::string positionField(int64_t value) {
  std::string out(8, '\0');
  for (size_t i = 0; i < 8; ++i) out[i] = static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF);
  return out;
}

// The parser and the writer as a download uses them: buffers so small that
// they are reused after a few blocks, while the thread may still be writing
// from them, and runs that go past the cache and through it. Whatever the
// timing, the file ends up as if every block had been written in order.
TEST(TargetWriterWithParserTest, BuffersAreReusedOnlyOnceWritten) {
  constexpr size_t block = ImageStreamParser::blockSize;
  constexpr int64_t imageSize = 96 * block - 100;
  std::vector<int64_t> positions;
  for (int64_t i = 0; i < 96; ++i) positions.push_back(i * static_cast<int64_t>(block));
  for (int64_t i = 40; i < 60; ++i) positions.push_back(i * static_cast<int64_t>(block));  // rewritten
  positions.push_back(3 * block + 512);  // off the 4 KiB grid
  std::string stream;
  std::string expected(static_cast<size_t>(imageSize), '.');
  for (size_t n = 0; n < positions.size(); ++n) {
    std::string data(block, '\0');
    for (size_t i = 0; i < block; ++i) data[i] = static_cast<char>(n * 29 + i * 11 + i / 509);
    stream += positionField(positions[n]) + data;
    const auto at = static_cast<size_t>(positions[n]);
    expected.replace(at, std::min(block, expected.size() - at), data.substr(0, std::min(block, expected.size() - at)));
  }
  stream += positionField(ImageStreamParser::endMarker);

  for (const size_t bufferSize : {ImageStreamParser::minimumBufferSize, 3 * block + 100, 8 * block}) {
    TempDir dir;
    const auto path = dir.write("target", std::string(static_cast<size_t>(imageSize), '.'));
    File file;
    ASSERT_TRUE(file.Open(path.string(), 10));
    {
      CoalescingFileWriter writer(file.descriptor(), file.name(), 2 * block);
      ImageStreamParser parser(imageSize, writer, nullptr, bufferSize);
      for (size_t at = 0; at < stream.size() && parser.status() == ImageStreamParser::Status::needMore;) {
        const size_t take = std::min({parser.spaceSize(), stream.size() - at, size_t{5000}});
        std::memcpy(parser.space(), stream.data() + at, take);
        parser.received(take);
        at += take;
      }
      ASSERT_EQ(parser.status(), ImageStreamParser::Status::done) << bufferSize;
      ASSERT_TRUE(writer.finish());
    }
    EXPECT_EQ(readAll(path), expected) << bufferSize;
  }
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
