// Feeds arbitrary image streams to the parser through a sink that aborts on
// any write outside the image, and checks that cutting the stream into other
// pieces never changes the writes or the outcome.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
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
    writes.push_back(std::to_string(position) + ":" + std::string(data, length));
    return failAfter == 0 || writes.size() < failAfter;
  }
  std::vector<std::string> writes;
  size_t failAfter = 0;

private:
  int64_t imageSize_;
};

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
  ImageStreamParser wholeParser(imageSize, whole, nullptr);
  const ImageStreamParser::Status wholeStatus = wholeParser.feed(stream, length);

  BoundsCheckingSink pieces(imageSize);
  pieces.failAfter = failAfter;
  ImageStreamParser piecesParser(imageSize, pieces, nullptr);
  size_t at = 0;
  size_t cut = 0;
  while (at < length && piecesParser.status() == ImageStreamParser::Status::needMore) {
    const size_t piece = 1 + data[cut++ % size] % 23;
    const size_t take = piece < length - at ? piece : length - at;
    piecesParser.feed(stream + at, take);
    at += take;
  }
  check(piecesParser.status() == wholeStatus);
  check(pieces.writes == whole.writes);
  return 0;
}
