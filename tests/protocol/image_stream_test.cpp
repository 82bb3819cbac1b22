#include "protocol/image_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Write {
  int64_t position;
  std::string bytes;
  bool operator==(const Write&) const = default;
};

class RecordingSink : public ImageBlockSink {
public:
  bool writeAt(int64_t position, const char* data, size_t length) override {
    writes.push_back({position, std::string(data, length)});
    return writes.size() != failAt;
  }
  bool flush() override { return true; }
  std::vector<Write> writes;
  size_t failAt = 0;  // 1-based number of the write that fails; 0: none
};

// Keeps only the pointers it is handed and reads them as late as the sink's
// promise allows, one flush() behind, as the file writer's thread may: bytes
// the parser reuses too early come out wrong.
class PointerKeepingSink : public ImageBlockSink {
public:
  bool writeAt(int64_t position, const char* data, size_t length) override {
    held_.push_back({position, data, length});
    return true;
  }
  bool flush() override {
    ++flushes;
    read(older_);
    older_ = std::move(held_);
    held_.clear();
    return flushes != failAtFlush;
  }
  // Reads everything still held, as the download does before the parser goes.
  void finish() {
    read(older_);
    read(held_);
  }
  std::vector<Write> writes;
  size_t flushes = 0;
  size_t failAtFlush = 0;  // 1-based number of the flush that fails; 0: none

private:
  struct Held {
    int64_t position;
    const char* data;
    size_t length;
  };
  void read(std::vector<Held>& pieces) {
    for (const Held& piece : pieces) writes.push_back({piece.position, std::string(piece.data, piece.length)});
    pieces.clear();
  }
  std::vector<Held> older_;  // handed before the previous flush
  std::vector<Held> held_;   // handed since
};

// Receives `length` bytes the way a download does: copied into the parser's
// space, as much as fits each time.
// A final status is asked for again at least once, to see that it stays.
ImageStreamParser::Status feed(ImageStreamParser& parser, const char* data, size_t length) {
  size_t at = 0;
  do {
    if (parser.spaceSize() == 0) {
      ADD_FAILURE() << "no space left to receive into";
      break;
    }
    const size_t take = std::min(length - at, parser.spaceSize());
    std::memcpy(parser.space(), data + at, take);
    parser.received(take);
    at += take;
  } while (at < length && parser.status() == ImageStreamParser::Status::needMore);
  return parser.status();
}

std::string position(int64_t value) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[static_cast<size_t>(i)] = static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF);
  return out;
}

std::string block(char fill) { return std::string(ImageStreamParser::blockSize, fill); }

std::string endMarker() { return position(ImageStreamParser::endMarker); }

using Status = ImageStreamParser::Status;

// Size 10,000 with data at 0 and 8192: the second block is cut to 1808 bytes.
const std::string sparseStream = position(0) + block('a') + position(8192) + block('b') + endMarker();
const std::vector<Write> sparseWrites = {{0, block('a')}, {8192, std::string(1808, 'b')}};

TEST(ImageStreamTest, SparseImageWritesOnlyItsBlocksCutAtTheSize) {
  RecordingSink sink;
  ImageStreamParser parser(10000, sink, nullptr);
  EXPECT_EQ(feed(parser, sparseStream.data(), sparseStream.size()), Status::done);
  EXPECT_EQ(sink.writes, sparseWrites);
}

TEST(ImageStreamTest, AnySplitOfTheStreamGivesTheSameWrites) {
  for (size_t split = 1; split < sparseStream.size(); ++split) {
    RecordingSink sink;
    ImageStreamParser parser(10000, sink, nullptr);
    EXPECT_EQ(feed(parser, sparseStream.data(), split), Status::needMore) << "split " << split;
    EXPECT_EQ(feed(parser, sparseStream.data() + split, sparseStream.size() - split), Status::done);
    EXPECT_EQ(sink.writes, sparseWrites) << "split " << split;
  }
  RecordingSink sink;
  ImageStreamParser parser(10000, sink, nullptr);
  for (const char byte : sparseStream) feed(parser, &byte, 1);
  EXPECT_EQ(parser.status(), Status::done);
  EXPECT_EQ(sink.writes, sparseWrites);
}

TEST(ImageStreamTest, LastBlockWaitsForTheEndMarker) {
  const std::string withoutEnd = position(0) + block('a') + position(4096) + block('b');
  RecordingSink sink;
  ImageStreamParser parser(8192, sink, nullptr);
  EXPECT_EQ(feed(parser, withoutEnd.data(), withoutEnd.size()), Status::needMore);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{0, block('a')}}));

  // Part of the marker is not the marker.
  const std::string marker = endMarker();
  EXPECT_EQ(feed(parser, marker.data(), 7), Status::needMore);
  EXPECT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(feed(parser, marker.data() + 7, 1), Status::done);
  EXPECT_EQ(sink.writes.back(), (Write{4096, block('b')}));
}

TEST(ImageStreamTest, PositionBeyondTheSizeEndsTheStream) {
  const std::string stream = position(0) + block('a') + position(8193) + "ignored";
  RecordingSink sink;
  ImageStreamParser parser(8192, sink, nullptr);
  EXPECT_EQ(feed(parser, stream.data(), stream.size()), Status::done);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{0, block('a')}}));
  // Final: nothing more is taken.
  EXPECT_EQ(feed(parser, sparseStream.data(), sparseStream.size()), Status::done);
  EXPECT_EQ(sink.writes.size(), 1u);
}

TEST(ImageStreamTest, OutOfOrderBlocksGoToTheirOwnPositions) {
  const std::string stream = position(8192) + block('c') + position(0) + block('a') + position(4096) + block('b') +
                             position(4096) + block('B') + endMarker();
  RecordingSink sink;
  ImageStreamParser parser(12288, sink, nullptr);
  EXPECT_EQ(feed(parser, stream.data(), stream.size()), Status::done);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{8192, block('c')}, {0, block('a')}, {4096, block('b')}, {4096, block('B')}}));
}

TEST(ImageStreamTest, BlockAtExactlyTheImageSizeWritesNothing) {
  const std::string stream = position(0) + block('a') + position(4096) + block('z') + endMarker();
  RecordingSink sink;
  ImageStreamParser parser(4096, sink, nullptr);
  EXPECT_EQ(feed(parser, stream.data(), stream.size()), Status::done);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{0, block('a')}}));
}

TEST(ImageStreamTest, ShortImageCutsItsOnlyBlock) {
  const std::string stream = position(0) + block('q') + endMarker();
  RecordingSink sink;
  ImageStreamParser parser(100, sink, nullptr);
  EXPECT_EQ(feed(parser, stream.data(), stream.size()), Status::done);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{0, std::string(100, 'q')}}));
}

TEST(ImageStreamTest, CancelStopsBeforeTheNextBlock) {
  bool cancel = false;
  RecordingSink sink;
  ImageStreamParser parser(12288, sink, [&] { return cancel; });
  const std::string first = position(0) + block('a') + position(4096);
  EXPECT_EQ(feed(parser, first.data(), first.size()), Status::needMore);
  ASSERT_EQ(sink.writes.size(), 1u);
  cancel = true;
  const std::string rest = block('b') + endMarker();
  EXPECT_EQ(feed(parser, rest.data(), rest.size()), Status::cancelled);
  EXPECT_EQ(sink.writes.size(), 1u);
}

TEST(ImageStreamTest, CancelIsNoticedInsideABlock) {
  int asked = 0;
  RecordingSink sink;
  ImageStreamParser parser(8192, sink, [&] { return ++asked > 2; });
  const std::string stream = position(0) + block('a');
  for (size_t at = 0; at < stream.size(); at += 512) {
    if (feed(parser, stream.data() + at, 512) != Status::needMore) break;
  }
  EXPECT_EQ(parser.status(), Status::cancelled);
  EXPECT_TRUE(sink.writes.empty());
}

TEST(ImageStreamTest, RefusedWriteIsFinal) {
  RecordingSink sink;
  sink.failAt = 1;
  ImageStreamParser parser(10000, sink, nullptr);
  EXPECT_EQ(feed(parser, sparseStream.data(), sparseStream.size()), Status::writeFailed);
  EXPECT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(feed(parser, sparseStream.data(), sparseStream.size()), Status::writeFailed);
  EXPECT_EQ(sink.writes.size(), 1u);
}

TEST(ImageStreamTest, NegativePositionIsACorruptStream) {
  const std::string stream = position(0) + block('a') + position(-4096) + block('b') + endMarker();
  RecordingSink sink;
  ImageStreamParser parser(8192, sink, nullptr);
  EXPECT_EQ(feed(parser, stream.data(), stream.size()), Status::badPosition);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{0, block('a')}}));
}

// Blocks of distinct content: going forward, a gap, one going back and one
// rewritten, the last one cut at the image size.
struct LongStream {
  static constexpr int64_t size = 40 * 4096 + 1000;
  std::string bytes;
  std::vector<Write> writes;  // what the sink must see, in order
  LongStream() {
    std::vector<int64_t> positions;
    for (int64_t i = 0; i < 20; ++i) positions.push_back(i * 4096);
    for (int64_t i = 25; i <= 40; ++i) positions.push_back(i * 4096);
    positions.push_back(3 * 4096);
    positions.push_back(3 * 4096);
    positions.push_back(4096 + 512);  // not on a block boundary
    for (size_t n = 0; n < positions.size(); ++n) {
      std::string data(ImageStreamParser::blockSize, '\0');
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(n * 31 + i * 7 + i / 251);
      bytes += position(positions[n]) + data;
      const auto inside = static_cast<size_t>(std::min<int64_t>(4096, size - positions[n]));
      writes.push_back({positions[n], data.substr(0, inside)});
    }
    bytes += endMarker();
  }
};

// A buffer not much larger than one block with its two position fields, cut
// at every place of a block, a position field or the end marker by the
// buffer's end or by the receive, still gives the same writes; so does a
// sink that reads the handed bytes only one flush after the next.
TEST(ImageStreamTest, SmallBuffersAndAnyReceiveSizeGiveTheSameWrites) {
  const LongStream stream;
  const size_t smallest = ImageStreamParser::minimumBufferSize;
  for (const size_t bufferSize : {size_t{0}, smallest, smallest + 3, smallest + 4103, 2 * smallest + 1, size_t{65536}}) {
    for (const size_t piece : {size_t{1}, size_t{7}, size_t{4103}, size_t{4104}, size_t{4105}, size_t{9000},
                               stream.bytes.size()}) {
      RecordingSink copying;
      ImageStreamParser copyingParser(stream.size, copying, nullptr, bufferSize);
      PointerKeepingSink keeping;
      ImageStreamParser keepingParser(stream.size, keeping, nullptr, bufferSize);
      for (size_t at = 0; at < stream.bytes.size(); at += piece) {
        const size_t take = std::min(piece, stream.bytes.size() - at);
        feed(copyingParser, stream.bytes.data() + at, take);
        feed(keepingParser, stream.bytes.data() + at, take);
      }
      ASSERT_EQ(copyingParser.status(), Status::done) << bufferSize << "/" << piece;
      ASSERT_EQ(keepingParser.status(), Status::done) << bufferSize << "/" << piece;
      keeping.finish();
      EXPECT_EQ(copying.writes, stream.writes) << bufferSize << "/" << piece;
      EXPECT_EQ(keeping.writes, stream.writes) << bufferSize << "/" << piece;
    }
  }
}

TEST(ImageStreamTest, FailedFlushBeforeReusingTheBufferIsAFailedWrite) {
  const LongStream stream;
  PointerKeepingSink sink;
  sink.failAtFlush = 1;
  ImageStreamParser parser(stream.size, sink, nullptr, ImageStreamParser::minimumBufferSize);
  EXPECT_EQ(feed(parser, stream.bytes.data(), stream.bytes.size()), Status::writeFailed);
  EXPECT_EQ(sink.flushes, 1u);
  sink.finish();
  const size_t handed = sink.writes.size();
  // Final: nothing more is handed over or flushed.
  EXPECT_EQ(parser.received(0), Status::writeFailed);
  sink.finish();
  EXPECT_EQ(sink.writes.size(), handed);
  EXPECT_EQ(sink.flushes, 1u);
  EXPECT_LT(handed, stream.writes.size());
}

}  // namespace
