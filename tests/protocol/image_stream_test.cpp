#include "protocol/image_stream.h"

#include <gtest/gtest.h>

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
  std::vector<Write> writes;
  size_t failAt = 0;  // 1-based number of the write that fails; 0: none
};

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
  EXPECT_EQ(parser.feed(sparseStream.data(), sparseStream.size()), Status::done);
  EXPECT_EQ(sink.writes, sparseWrites);
}

TEST(ImageStreamTest, AnySplitOfTheStreamGivesTheSameWrites) {
  for (size_t split = 1; split < sparseStream.size(); ++split) {
    RecordingSink sink;
    ImageStreamParser parser(10000, sink, nullptr);
    EXPECT_EQ(parser.feed(sparseStream.data(), split), Status::needMore) << "split " << split;
    EXPECT_EQ(parser.feed(sparseStream.data() + split, sparseStream.size() - split), Status::done);
    EXPECT_EQ(sink.writes, sparseWrites) << "split " << split;
  }
  RecordingSink sink;
  ImageStreamParser parser(10000, sink, nullptr);
  for (const char byte : sparseStream) parser.feed(&byte, 1);
  EXPECT_EQ(parser.status(), Status::done);
  EXPECT_EQ(sink.writes, sparseWrites);
}

TEST(ImageStreamTest, LastBlockWaitsForTheEndMarker) {
  const std::string withoutEnd = position(0) + block('a') + position(4096) + block('b');
  RecordingSink sink;
  ImageStreamParser parser(8192, sink, nullptr);
  EXPECT_EQ(parser.feed(withoutEnd.data(), withoutEnd.size()), Status::needMore);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{0, block('a')}}));

  // Part of the marker is not the marker.
  const std::string marker = endMarker();
  EXPECT_EQ(parser.feed(marker.data(), 7), Status::needMore);
  EXPECT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(parser.feed(marker.data() + 7, 1), Status::done);
  EXPECT_EQ(sink.writes.back(), (Write{4096, block('b')}));
}

TEST(ImageStreamTest, PositionBeyondTheSizeEndsTheStream) {
  const std::string stream = position(0) + block('a') + position(8193) + "ignored";
  RecordingSink sink;
  ImageStreamParser parser(8192, sink, nullptr);
  EXPECT_EQ(parser.feed(stream.data(), stream.size()), Status::done);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{0, block('a')}}));
  // Final: nothing more is taken.
  EXPECT_EQ(parser.feed(sparseStream.data(), sparseStream.size()), Status::done);
  EXPECT_EQ(sink.writes.size(), 1u);
}

TEST(ImageStreamTest, OutOfOrderBlocksGoToTheirOwnPositions) {
  const std::string stream = position(8192) + block('c') + position(0) + block('a') + position(4096) + block('b') +
                             position(4096) + block('B') + endMarker();
  RecordingSink sink;
  ImageStreamParser parser(12288, sink, nullptr);
  EXPECT_EQ(parser.feed(stream.data(), stream.size()), Status::done);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{8192, block('c')}, {0, block('a')}, {4096, block('b')}, {4096, block('B')}}));
}

TEST(ImageStreamTest, BlockAtExactlyTheImageSizeWritesNothing) {
  const std::string stream = position(0) + block('a') + position(4096) + block('z') + endMarker();
  RecordingSink sink;
  ImageStreamParser parser(4096, sink, nullptr);
  EXPECT_EQ(parser.feed(stream.data(), stream.size()), Status::done);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{0, block('a')}}));
}

TEST(ImageStreamTest, ShortImageCutsItsOnlyBlock) {
  const std::string stream = position(0) + block('q') + endMarker();
  RecordingSink sink;
  ImageStreamParser parser(100, sink, nullptr);
  EXPECT_EQ(parser.feed(stream.data(), stream.size()), Status::done);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{0, std::string(100, 'q')}}));
}

TEST(ImageStreamTest, CancelStopsBeforeTheNextBlock) {
  bool cancel = false;
  RecordingSink sink;
  ImageStreamParser parser(12288, sink, [&] { return cancel; });
  const std::string first = position(0) + block('a') + position(4096);
  EXPECT_EQ(parser.feed(first.data(), first.size()), Status::needMore);
  ASSERT_EQ(sink.writes.size(), 1u);
  cancel = true;
  const std::string rest = block('b') + endMarker();
  EXPECT_EQ(parser.feed(rest.data(), rest.size()), Status::cancelled);
  EXPECT_EQ(sink.writes.size(), 1u);
}

TEST(ImageStreamTest, CancelIsNoticedInsideABlock) {
  int asked = 0;
  RecordingSink sink;
  ImageStreamParser parser(8192, sink, [&] { return ++asked > 2; });
  const std::string stream = position(0) + block('a');
  for (size_t at = 0; at < stream.size(); at += 512) {
    if (parser.feed(stream.data() + at, 512) != Status::needMore) break;
  }
  EXPECT_EQ(parser.status(), Status::cancelled);
  EXPECT_TRUE(sink.writes.empty());
}

TEST(ImageStreamTest, RefusedWriteIsFinal) {
  RecordingSink sink;
  sink.failAt = 1;
  ImageStreamParser parser(10000, sink, nullptr);
  EXPECT_EQ(parser.feed(sparseStream.data(), sparseStream.size()), Status::writeFailed);
  EXPECT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(parser.feed(sparseStream.data(), sparseStream.size()), Status::writeFailed);
  EXPECT_EQ(sink.writes.size(), 1u);
}

TEST(ImageStreamTest, NegativePositionIsACorruptStream) {
  const std::string stream = position(0) + block('a') + position(-4096) + block('b') + endMarker();
  RecordingSink sink;
  ImageStreamParser parser(8192, sink, nullptr);
  EXPECT_EQ(parser.feed(stream.data(), stream.size()), Status::badPosition);
  EXPECT_EQ(sink.writes, (std::vector<Write>{{0, block('a')}}));
}

}  // namespace
