#pragma once
// The block stream of an image download, taken apart without any I/O: bytes
// are received straight into the parser's buffer and taken apart where they
// lie, and positioned writes come out through a sink that is handed pointers
// into that buffer, so each byte is copied once on its way from the socket to
// the target. Layout: docs/WIRE_FORMATS.md ("Image stream").
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Receives the image data at its byte positions on the target.
class ImageBlockSink {
public:
  virtual ~ImageBlockSink() = default;
  // Takes the `length` bytes at `data` for `position`. The bytes stay valid
  // until the next flush(), so a sink may keep the pointer rather than copy;
  // false when writing failed.
  virtual bool writeAt(int64_t position, const char* data, size_t length) = 0;
  // Writes whatever the sink still holds; false when that failed.
  virtual bool flush() = 0;
};

class ImageStreamParser {
public:
  enum class Status {
    needMore,     // everything received was taken; the stream goes on
    done,         // end of the image seen and every block handed to the sink
    writeFailed,  // the sink refused a block
    cancelled,    // the cancel check answered true
    badPosition,  // a block position below zero: the stream is corrupt
  };

  static constexpr size_t blockSize = 4096;
  static constexpr size_t positionSize = 8;
  static constexpr int64_t endMarker = INT64_MAX;
  // Large receives keep system calls few; the sink writes in pieces of its own.
  static constexpr size_t defaultBufferSize = 4 * 1024 * 1024;
  // Room for a block, the position before it and the one that completes it.
  static constexpr size_t minimumBufferSize = 2 * positionSize + blockSize;

  // `cancelled` is asked before every block and on every receive.
  // `bufferSize` is raised to minimumBufferSize when smaller.
  ImageStreamParser(int64_t imageSize, ImageBlockSink& sink, std::function<bool()> cancelled,
                    size_t bufferSize = defaultBufferSize);

  // Where the next bytes of the stream are to be received, and how many fit
  // (never 0 while the status is needMore).
  char* space() { return buffer_.data() + fill_; }
  size_t spaceSize() const { return buffer_.size() - fill_; }

  // Takes the next `length` bytes, received at space(). Once a status other
  // than needMore is reached it is final: later calls take nothing and
  // return it.
  Status received(size_t length);
  Status status() const { return status_; }

private:
  // Hands the next complete block to the sink, cut at the image size.
  bool writeBlock(int64_t position, const char* data);
  // Makes room at the end of the buffer by moving the unparsed rest to its
  // front; the sink lets go of the bytes it was handed first.
  void makeRoom();

  int64_t imageSize_;
  ImageBlockSink& sink_;
  std::function<bool()> cancelled_;
  Status status_ = Status::needMore;

  std::vector<char> buffer_;
  size_t parsed_ = 0;  // bytes at the front already handed over
  size_t fill_ = 0;    // bytes received into the buffer
};
