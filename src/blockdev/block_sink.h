#pragma once
// Where the blocks of an image go, at their byte positions on the target.
#include <cstddef>
#include <cstdint>

// Receives the image data at its byte positions on the target.
class ImageBlockSink {
public:
  virtual ~ImageBlockSink() = default;
  // Takes the `length` bytes at `data` for `position`. The bytes stay valid
  // until the second flush() after this call has returned, so a sink may keep
  // the pointer rather than copy, and may still be writing the bytes of one
  // flush while the next are handed to it; false when writing failed.
  virtual bool writeAt(int64_t position, const char* data, size_t length) = 0;
  // Hands on whatever the sink still holds and lets go of what was handed to
  // it before the previous flush(); false when writing failed.
  virtual bool flush() = 0;
};
