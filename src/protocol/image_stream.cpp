#include "protocol/image_stream.h"

#include <algorithm>
#include <cstring>
#include <utility>

ImageStreamParser::ImageStreamParser(int64_t imageSize, ImageBlockSink& sink, std::function<bool()> cancelled)
    : imageSize_(imageSize), sink_(sink), cancelled_(std::move(cancelled)) {}

bool ImageStreamParser::writePendingBlock() {
  blockPending_ = false;
  // Only the part of a block that lies inside the image is written; a block
  // that starts at the image size has nothing inside it.
  if (blockPosition_ >= imageSize_) {
    return true;
  }
  const auto inside = static_cast<uint64_t>(imageSize_ - blockPosition_);
  const size_t length = static_cast<size_t>(std::min<uint64_t>(blockSize, inside));
  return sink_.writeAt(blockPosition_, block_, length);
}

ImageStreamParser::Status ImageStreamParser::feed(const char* data, size_t length) {
  size_t used = 0;
  while (status_ == Status::needMore && used < length) {
    if (cancelled_ && cancelled_()) {
      status_ = Status::cancelled;
      break;
    }
    if (!inBlock_) {
      const size_t take = std::min(sizeof positionField_ - positionFill_, length - used);
      std::memcpy(positionField_ + positionFill_, data + used, take);
      positionFill_ += take;
      used += take;
      if (positionFill_ < sizeof positionField_) {
        break;
      }
      positionFill_ = 0;
      uint64_t raw = 0;
      for (size_t i = 0; i < sizeof positionField_; ++i) {
        raw |= static_cast<uint64_t>(positionField_[i]) << (8 * i);
      }
      const auto position = static_cast<int64_t>(raw);
      // A block is complete only once the position field after it is here.
      if (blockPending_ && !writePendingBlock()) {
        status_ = Status::writeFailed;
        break;
      }
      if (position == endMarker || position > imageSize_) {
        status_ = Status::done;
        break;
      }
      if (position < 0) {
        status_ = Status::badPosition;
        break;
      }
      blockPosition_ = position;
      blockFill_ = 0;
      inBlock_ = true;
      continue;
    }
    const size_t take = std::min(blockSize - blockFill_, length - used);
    std::memcpy(block_ + blockFill_, data + used, take);
    blockFill_ += take;
    used += take;
    if (blockFill_ == blockSize) {
      inBlock_ = false;
      blockPending_ = true;
    }
  }
  return status_;
}
