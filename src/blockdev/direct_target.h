#pragma once
// A second descriptor of a restore target that writes past the page cache
// (O_DIRECT). A restore writes gigabytes once and never reads them back:
// through the page cache every byte is copied once more, and in a restore
// environment running from RAM the dirty pages crowd out everything else.
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>

class DirectTarget {
public:
  // Positions, lengths and memory of direct writes are multiples of this:
  // it covers devices with 512-byte and with 4096-byte logical blocks.
  static constexpr size_t alignment = 4096;

  // Opens `descriptor`'s file again for direct writes, with room to gather
  // runs of up to `capacity` bytes. Not every file allows that (a pipe, a
  // file system without direct I/O): then usable() is false.
  DirectTarget(int descriptor, size_t capacity);
  ~DirectTarget();
  DirectTarget(const DirectTarget&) = delete;
  DirectTarget& operator=(const DirectTarget&) = delete;

  bool usable() const { return descriptor_ >= 0; }
  // True when the run of `length` bytes at `position` may go past the cache.
  bool takes(int64_t position, size_t length) const;

  // Gathers `pieces` (of `length` bytes together; takes() said yes) into the
  // aligned buffer and writes them at `position`. Returns how many bytes
  // reached the target; the rest (after an error or a short write) is for the
  // caller to write otherwise, from staged().
  size_t write(int64_t position, const iovec* pieces, size_t count, size_t length);
  const char* staged() const { return staging_.get(); }

private:
  struct Free {
    void operator()(char* memory) const;
  };

  int descriptor_ = -1;
  size_t capacity_;
  std::unique_ptr<char, Free> staging_;
};
