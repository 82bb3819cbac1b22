#pragma once
// The block stream of an image download, taken apart without any I/O: bytes
// are received straight into one of the parser's two buffers and taken apart
// where they lie, and positioned writes come out through a sink that is
// handed pointers into that buffer, so no byte is copied between the receive
// and the write. While the sink still writes from one buffer, the next bytes
// are received into the other.
// Layout: docs/WIRE_FORMATS.md ("Image stream").
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "blockdev/block_sink.h"

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
  // Large receives keep system calls few; the sink writes in pieces of its
  // own. The size of each of the two buffers.
  static constexpr size_t defaultBufferSize = 4 * 1024 * 1024;
  // Room for a block, the position before it and the one that completes it.
  static constexpr size_t minimumBufferSize = 2 * positionSize + blockSize;

  // `cancelled` is asked before every block and on every receive.
  // `bufferSize` is raised to minimumBufferSize when smaller. What the sink
  // holds points into the parser's buffers: let it write everything before
  // the parser goes.
  ImageStreamParser(int64_t imageSize, ImageBlockSink& sink, std::function<bool()> cancelled,
                    size_t bufferSize = defaultBufferSize);

  // Where the next bytes of the stream are to be received, and how many fit
  // (never 0 while the status is needMore).
  char* space() { return buffer().data() + fill_; }
  size_t spaceSize() const { return buffer().size() - fill_; }

  // Takes the next `length` bytes, received at space(). Once a status other
  // than needMore is reached it is final: later calls take nothing and
  // return it.
  Status received(size_t length);
  Status status() const { return status_; }

  // Bytes of the image handed to the sink so far.
  int64_t handedBytes() const { return handedBytes_; }
  // Whether any block data has been received yet.
  bool dataArrived() const { return dataArrived_; }
  // Where a stream that broke off can be asked to go on from: every block
  // below this position has been handed to the sink, and none at or above
  // it. Empty once the blocks came out of position order, since then no
  // single position divides what was handed over from what was not.
  std::optional<int64_t> resumePosition() const;

private:
  // Hands the next complete block to the sink, cut at the image size.
  bool writeBlock(int64_t position, const char* data);
  // Makes room by going on in the other buffer, with the unparsed rest moved
  // to its front; the flush first makes the sink let go of that buffer.
  void makeRoom();
  std::vector<char>& buffer() { return buffers_[current_]; }
  const std::vector<char>& buffer() const { return buffers_[current_]; }

  int64_t imageSize_;
  ImageBlockSink& sink_;
  std::function<bool()> cancelled_;
  Status status_ = Status::needMore;

  std::vector<char> buffers_[2];
  size_t current_ = 0;  // the buffer received into and taken apart
  size_t parsed_ = 0;   // bytes at its front already handed over
  size_t fill_ = 0;     // bytes received into it
  bool dataArrived_ = false;
  int64_t handedBytes_ = 0;
  int64_t handedEnd_ = 0;  // end of the last block handed to the sink
  bool inOrder_ = true;    // every block so far lay above the one before
};
