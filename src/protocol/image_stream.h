#pragma once
// The block stream of an image download, taken apart without any I/O: bytes
// go in as they arrive, positioned writes come out through a sink. Layout:
// docs/WIRE_FORMATS.md ("Image stream").
#include <cstddef>
#include <cstdint>
#include <functional>

// Receives the image data at its byte positions on the target.
class ImageBlockSink {
public:
  virtual ~ImageBlockSink() = default;
  // Writes all `length` bytes at `position`; false when that failed.
  virtual bool writeAt(int64_t position, const char* data, size_t length) = 0;
};

class ImageStreamParser {
public:
  enum class Status {
    needMore,     // everything fed was taken; the stream goes on
    done,         // end of the image seen and every block handed to the sink
    writeFailed,  // the sink refused a block
    cancelled,    // the cancel check answered true
    badPosition,  // a block position below zero: the stream is corrupt
  };

  static constexpr size_t blockSize = 4096;
  static constexpr int64_t endMarker = INT64_MAX;

  // `cancelled` is asked before every block and every piece of one.
  ImageStreamParser(int64_t imageSize, ImageBlockSink& sink, std::function<bool()> cancelled);

  // Takes the next `length` bytes of the stream. Once a status other than
  // needMore is reached it is final: later feeds take nothing and return it.
  Status feed(const char* data, size_t length);
  Status status() const { return status_; }

private:
  // Hands the completed block to the sink, cut at the image size.
  bool writePendingBlock();

  int64_t imageSize_;
  ImageBlockSink& sink_;
  std::function<bool()> cancelled_;
  Status status_ = Status::needMore;

  unsigned char positionField_[8] = {};
  size_t positionFill_ = 0;
  char block_[blockSize] = {};
  size_t blockFill_ = 0;
  int64_t blockPosition_ = 0;
  bool inBlock_ = false;       // reading block data rather than a position
  bool blockPending_ = false;  // a full block waits for the next position field
};
