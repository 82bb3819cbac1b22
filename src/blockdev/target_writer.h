#pragma once
// Writing downloaded data onto the target file or device.
#include <sys/uio.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "blockdev/block_sink.h"
#include "blockdev/direct_target.h"
#include "blockdev/write_ledger.h"
#include "support/io.h"

class File;

// Writes all `count` bytes, at `offset`, or at the current position when
// `offset` is negative. Short writes are continued; a write that moves
// nothing or fails makes the result false.
bool writeFully(File& file, int64_t offset, const char* data, size_t count);

// An image sink that gathers blocks with adjacent positions into runs and
// writes each run with one call: a restore writes far faster in large pieces
// than in 4 KiB ones, and the bytes on the target stay the same, in the same
// order. Runs on 4 KiB boundaries go past the page cache (DirectTarget) where
// the target allows it, the others through the target's own descriptor.
// The runs are written on a thread of the writer's own, so that the next
// bytes are received while the last ones are written; without that thread
// (none could be started, or `background` is false) each is written as soon
// as it is complete. A run that goes past the cache is copied into aligned
// memory as it is handed on; the others are written from the blocks
// themselves, so each block must stay readable until it is written, which
// ImageBlockSink promises. With a `ledger`, every run is recorded there as
// it is handed on, for verification.
class CoalescingFileWriter : public ImageBlockSink {
public:
  static constexpr size_t defaultCapacity = 4 * 1024 * 1024;

  // Writes on `descriptor`'s file, named `name` in error texts.
  CoalescingFileWriter(int descriptor, std::string name, size_t capacity = defaultCapacity, bool background = true,
                       blockdev::WriteLedger* ledger = nullptr);
  // Writes what is still gathered or waiting.
  ~CoalescingFileWriter() override;
  CoalescingFileWriter(const CoalescingFileWriter&) = delete;
  CoalescingFileWriter& operator=(const CoalescingFileWriter&) = delete;

  bool writeAt(int64_t position, const char* data, size_t length) override;
  // Hands on the gathered run and waits until every run handed on before the
  // previous flush() is written.
  bool flush() override;
  // Waits until everything handed to the writer is written. Once a write
  // failed, the runs after it are dropped and every call answers false.
  bool finish();
  // Why the first failed write failed (path, position, errno text); empty
  // while none failed. Read it once finish() answered false.
  std::string error() const;

private:
  struct Run {
    int64_t start = 0;
    size_t length = 0;
    std::vector<iovec> pieces;
    char* staged = nullptr;  // the run gathered in a staging slot, if it goes past the cache
  };
  // Two slots: one being written while the next is filled.
  static constexpr size_t stagingSlots = 2;

  // Hands the gathered run on to the writing thread, or writes it at once.
  void handOn();
  // Waits for a free staging slot; the writing thread frees them.
  char* takeSlot();
  void releaseSlot(char* slot);
  void writeRuns();
  // Writes one run; false when that failed.
  bool write(Run& run);
  bool writeRun(Run& run);
  void noteFailure(const Run& run, int code);

  int descriptor_;
  std::string name_;
  size_t capacity_;
  blockdev::WriteLedger* ledger_;
  DirectTarget direct_;
  std::vector<AlignedBuffer> slots_;
  Run gathered_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Run> queue_;
  std::vector<char*> freeSlots_;
  uint64_t handedOn_ = 0;       // runs handed to the thread so far
  uint64_t written_ = 0;        // of them, those written or dropped
  uint64_t previousFlush_ = 0;  // handedOn_ at the previous flush()
  bool stopping_ = false;
  std::atomic<bool> failed_ = false;
  std::string error_;  // under mutex_
  std::thread thread_;
};
