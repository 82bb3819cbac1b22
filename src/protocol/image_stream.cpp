#include "protocol/image_stream.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

int64_t positionAt(const char* field) {
  uint64_t raw = 0;
  for (size_t i = 0; i < ImageStreamParser::positionSize; ++i) {
    raw |= static_cast<uint64_t>(static_cast<unsigned char>(field[i])) << (8 * i);
  }
  return static_cast<int64_t>(raw);
}

}  // namespace

ImageStreamParser::ImageStreamParser(int64_t imageSize, ImageBlockSink& sink, std::function<bool()> cancelled,
                                     size_t bufferSize)
    : imageSize_(imageSize),
      sink_(sink),
      cancelled_(std::move(cancelled)),
      buffers_{std::vector<char>(std::max(bufferSize, minimumBufferSize)),
               std::vector<char>(std::max(bufferSize, minimumBufferSize))} {}

std::optional<int64_t> ImageStreamParser::resumePosition() const {
  if (!inOrder_) {
    return std::nullopt;
  }
  return handedEnd_;
}

bool ImageStreamParser::writeBlock(int64_t position, const char* data) {
  // Only the part of a block that lies inside the image is written; a block
  // that starts at the image size has nothing inside it.
  if (position >= imageSize_) {
    return true;
  }
  const auto inside = static_cast<uint64_t>(imageSize_ - position);
  const size_t length = static_cast<size_t>(std::min<uint64_t>(blockSize, inside));
  handedBytes_ += static_cast<int64_t>(length);
  return sink_.writeAt(position, data, length);
}

void ImageStreamParser::makeRoom() {
  if (!sink_.flush()) {
    status_ = Status::writeFailed;
    return;
  }
  const size_t rest = fill_ - parsed_;
  std::vector<char>& from = buffer();
  current_ = 1 - current_;
  std::memcpy(buffer().data(), from.data() + parsed_, rest);
  parsed_ = 0;
  fill_ = rest;
}

ImageStreamParser::Status ImageStreamParser::received(size_t length) {
  if (status_ != Status::needMore) {
    return status_;
  }
  fill_ += std::min(length, spaceSize());
  dataArrived_ = dataArrived_ || length > 0;
  while (status_ == Status::needMore) {
    if (cancelled_ && cancelled_()) {
      status_ = Status::cancelled;
      break;
    }
    const size_t unparsed = fill_ - parsed_;
    if (unparsed < positionSize) {
      break;
    }
    const int64_t position = positionAt(buffer().data() + parsed_);
    if (position == endMarker || position > imageSize_) {
      parsed_ += positionSize;
      status_ = Status::done;
      break;
    }
    if (position < 0) {
      status_ = Status::badPosition;
      break;
    }
    // A block is complete only once the position field after it is here.
    if (unparsed < positionSize + blockSize + positionSize) {
      break;
    }
    if (!writeBlock(position, buffer().data() + parsed_ + positionSize)) {
      status_ = Status::writeFailed;
      break;
    }
    inOrder_ = inOrder_ && position >= handedEnd_;
    // Cut at the image size like the write, which also keeps the sum in range.
    handedEnd_ = position + std::min<int64_t>(static_cast<int64_t>(blockSize), imageSize_ - position);
    parsed_ += positionSize + blockSize;
  }
  // Receives stay large: the space is renewed once a quarter of the buffer
  // is left, not at every receive (which would also cut the sink's runs).
  if (status_ == Status::needMore && parsed_ > 0 && spaceSize() < buffer().size() / 4) {
    makeRoom();
  }
  return status_;
}
