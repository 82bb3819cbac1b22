#pragma once
// A second descriptor of a restore target that writes past the page cache
// (O_DIRECT). A restore writes gigabytes once and never reads them back:
// through the page cache every byte is copied once more, and in a restore
// environment running from RAM the dirty pages crowd out everything else.

#include <cstddef>
#include <cstdint>

#include "support/io.h"
#include "support/unique_fd.h"

class DirectTarget {
public:
  // Positions, lengths and memory of direct writes are multiples of this.
  static constexpr size_t alignment = directIoAlignment;

  // Opens `descriptor`'s file again for direct writes of runs of up to
  // `capacity` bytes, which must be whole blocks. Not every file allows that
  // (a pipe, a file system without direct I/O): then usable() is false.
  DirectTarget(int descriptor, size_t capacity);

  bool usable() const { return descriptor_.get() >= 0; }
  // True when the run of `length` bytes at `position` may go past the cache.
  bool takes(int64_t position, size_t length) const;

  // Writes `length` bytes from `aligned` (memory on the alignment boundary;
  // takes() said yes) at `position`. Returns how many bytes reached the
  // target; the rest (after an error or a short write) is for the caller to
  // write otherwise.
  size_t write(int64_t position, const char* aligned, size_t length);

private:
  UniqueFd descriptor_;
  size_t capacity_;
};
