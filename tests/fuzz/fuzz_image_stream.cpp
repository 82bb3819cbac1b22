// Feeds arbitrary image streams to the parser through a sink that aborts on
// any write outside the image, and checks that cutting the stream into other
// pieces, received into a buffer of another size, never changes the writes
// or the outcome. The sink reads the bytes it is handed only one flush after
// the next, as late as the file writer's thread may.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "protocol/image_stream.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

class BoundsCheckingSink : public ImageBlockSink {
public:
  explicit BoundsCheckingSink(int64_t imageSize) : imageSize_(imageSize) {}
  bool writeAt(int64_t position, const char* data, size_t length) override {
    check(position >= 0);
    check(length > 0 && length <= ImageStreamParser::blockSize);
    check(position + static_cast<int64_t>(length) <= imageSize_);
    held_.push_back({position, data, length});
    ++handed_;
    return failAfter == 0 || handed_ < failAfter;
  }
  bool flush() override {
    read(older_);
    older_ = std::move(held_);
    held_.clear();
    return true;
  }
  void finish() {
    read(older_);
    read(held_);
  }
  std::vector<std::string> writes;
  size_t failAfter = 0;

private:
  struct Held {
    int64_t position;
    const char* data;
    size_t length;
  };
  void read(std::vector<Held>& pieces) {
    for (const Held& piece : pieces) {
      writes.push_back(std::to_string(piece.position) + ":" + std::string(piece.data, piece.length));
    }
    pieces.clear();
  }
  int64_t imageSize_;
  // Counts every piece handed, also those held back unread: the refusal must
  // come at the same piece however the stream was cut.
  size_t handed_ = 0;
  std::vector<Held> older_;  // handed before the previous flush
  std::vector<Held> held_;   // handed since
};

// Copies `length` bytes into the parser's space, as much as fits each time.
void feed(ImageStreamParser& parser, const char* data, size_t length) {
  size_t at = 0;
  while (at < length && parser.status() == ImageStreamParser::Status::needMore) {
    check(parser.spaceSize() > 0);
    const size_t take = length - at < parser.spaceSize() ? length - at : parser.spaceSize();
    std::memcpy(parser.space(), data + at, take);
    parser.received(take);
    at += take;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Small image sizes keep positions inside the image reachable for the fuzzer.
  const int64_t imageSize = (static_cast<int64_t>(data[0]) << 8 | data[1]) * 64 + data[2];
  const size_t failAfter = data[3] % 8;
  const char* stream = reinterpret_cast<const char*>(data + 4);
  const size_t length = size - 4;

  BoundsCheckingSink whole(imageSize);
  whole.failAfter = failAfter;
  // Larger than any input: received in one piece and never moved.
  ImageStreamParser wholeParser(imageSize, whole, nullptr, 32768);
  feed(wholeParser, stream, length);
  whole.finish();

  // The smallest buffer there is, or one a little larger, so that blocks and
  // position fields are cut by its end everywhere.
  BoundsCheckingSink pieces(imageSize);
  pieces.failAfter = failAfter;
  ImageStreamParser piecesParser(imageSize, pieces, nullptr, ImageStreamParser::minimumBufferSize + data[3] % 64);
  size_t at = 0;
  size_t cut = 0;
  while (at < length && piecesParser.status() == ImageStreamParser::Status::needMore) {
    const size_t piece = 1 + data[cut++ % size] % 23;
    const size_t take = piece < length - at ? piece : length - at;
    feed(piecesParser, stream + at, take);
    at += take;
  }
  pieces.finish();
  check(piecesParser.status() == wholeParser.status());
  check(pieces.writes == whole.writes);
  return 0;
}
