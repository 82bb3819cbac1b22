#pragma once
// A record of what was written to a restore target, kept as a 64-bit XXH3
// hash per written range, so that once the writes are flushed every range
// can be read back from the device itself and compared. XXH3 because the
// check guards against lost, misdirected and torn writes, not against an
// adversary: it hashes at memory speed on the writing thread, where a
// cryptographic hash would cost a core, and 64 bits make a missed
// difference in a range astronomically unlikely.
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace blockdev {

class WriteLedger {
public:
  // Records the `length` bytes written at `start`, given as `count` pieces
  // the way pwritev takes them.
  void record(int64_t start, const iovec* pieces, size_t count, size_t length);
  void record(int64_t start, const char* data, size_t length);

  // Reads every recorded range back through `descriptor`'s file past the
  // page cache and compares it with what was recorded. False when a range
  // differs or cannot be read; `error` then names `name` and the first such
  // range. Call it only after the writes were flushed.
  bool verify(int descriptor, const std::string& name, std::string& error) const;

  int64_t bytes() const;
  // Bytes of the recorded ranges whose write has completed on the device;
  // the writer reports them.
  void completed(size_t length) { completed_ += static_cast<int64_t>(length); }
  int64_t completedBytes() const { return completed_; }

private:
  struct Range {
    int64_t start;
    size_t length;
    uint64_t hash;
  };
  mutable std::mutex mutex_;
  std::vector<Range> ranges_;
  int64_t bytes_ = 0;
  std::atomic<int64_t> completed_{0};
};

// Called after each range a writer of this layer has put on a target (file
// descriptor, position, length). Only tests install one, to damage a chosen
// write behind the writer's back and see that verification catches it.
using AfterWriteHook = std::function<void(int descriptor, int64_t start, size_t length)>;
void setAfterWriteHookForTests(AfterWriteHook hook);
void runAfterWriteHook(int descriptor, int64_t start, size_t length);

}  // namespace blockdev
