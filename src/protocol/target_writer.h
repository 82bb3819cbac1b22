#pragma once
// Writing downloaded data onto the target file or device.
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/image_stream.h"

class File;

// Writes all `count` bytes, at `offset`, or at the current position when
// `offset` is negative. Short writes are continued; a write that moves
// nothing or fails makes the result false.
bool writeFully(File& file, int64_t offset, const char* data, size_t count);

// An image sink that gathers blocks with adjacent positions and writes them
// with one vectored call: a restore writes far faster in large pieces than in
// 4 KiB ones, and the bytes on the target stay the same, in the same order.
// The blocks are not copied: each must stay readable until it is written,
// which ImageBlockSink promises up to the next flush().
class CoalescingFileWriter : public ImageBlockSink {
public:
  static constexpr size_t defaultCapacity = 1024 * 1024;

  explicit CoalescingFileWriter(File& file, size_t capacity = defaultCapacity);

  bool writeAt(int64_t position, const char* data, size_t length) override;
  // Writes what is gathered and lets go of it, also when that failed.
  bool flush() override;

private:
  File& file_;
  size_t capacity_;
  std::vector<iovec> pieces_;
  size_t gathered_ = 0;
  int64_t start_ = 0;
};
