#include "blockdev/target_writer.h"

#include <fcntl.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <utility>

#include "support/file.h"
#include "support/system_error.h"

namespace {

// One vectored call takes at most this many pieces.
constexpr size_t maxPieces = IOV_MAX;

}  // namespace

bool writeFully(File& file, int64_t offset, const char* data, size_t count) {
  return offset < 0 ? writeFull(file.descriptor(), data, count)
                    : pwriteFull(file.descriptor(), data, count, static_cast<off_t>(offset));
}

CoalescingFileWriter::CoalescingFileWriter(int descriptor, std::string name, size_t capacity, bool background,
                                           blockdev::WriteLedger* ledger)
    : descriptor_(descriptor),
      name_(std::move(name)),
      capacity_(capacity),
      ledger_(ledger),
      direct_(descriptor, capacity) {
  gathered_.pieces.reserve(maxPieces);
  if (direct_.usable()) {
    for (size_t i = 0; i < stagingSlots; ++i) {
      AlignedBuffer slot(capacity_);
      if (!slot) {
        break;
      }
      freeSlots_.push_back(slot.data());
      slots_.push_back(std::move(slot));
    }
  }
  if (background) {
    try {
      thread_ = std::thread([this] { writeRuns(); });
    } catch (const std::system_error&) {
      // No thread to be had: the runs are written as they come instead.
    }
  }
}

CoalescingFileWriter::~CoalescingFileWriter() {
  finish();
  if (thread_.joinable()) {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
}

bool CoalescingFileWriter::writeAt(int64_t position, const char* data, size_t length) {
  if (failed_) {
    return false;
  }
  const bool adjacent =
      !gathered_.pieces.empty() && position == gathered_.start + static_cast<int64_t>(gathered_.length);
  if (!adjacent || gathered_.length + length > capacity_ || gathered_.pieces.size() == maxPieces) {
    handOn();
    gathered_.start = position;
  }
  gathered_.pieces.push_back({const_cast<char*>(data), length});
  gathered_.length += length;
  return !failed_;
}

bool CoalescingFileWriter::flush() {
  handOn();
  std::unique_lock lock(mutex_);
  const uint64_t previous = std::exchange(previousFlush_, handedOn_);
  changed_.wait(lock, [&] { return written_ >= previous; });
  return !failed_;
}

bool CoalescingFileWriter::finish() {
  handOn();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return written_ >= handedOn_; });
  return !failed_;
}

std::string CoalescingFileWriter::error() const {
  const std::lock_guard lock(mutex_);
  return error_;
}

void CoalescingFileWriter::noteFailure(const Run& run, int code) {
  const std::lock_guard lock(mutex_);
  if (error_.empty()) {
    error_ = systemError("writing to " + name_ + " failed at byte " + std::to_string(run.start), code);
  }
}

void CoalescingFileWriter::handOn() {
  if (gathered_.pieces.empty()) {
    return;
  }
  Run run;
  run.pieces.reserve(maxPieces);
  std::swap(run, gathered_);
  // Hashed and gathered into aligned memory here, on the caller's thread, so
  // that the writing thread does nothing but write: the device then never
  // waits for the processor between two runs.
  if (ledger_ != nullptr) {
    ledger_->record(run.start, run.pieces.data(), run.pieces.size(), run.length);
  }
  if (slots_.size() == stagingSlots && direct_.takes(run.start, run.length)) {
    run.staged = takeSlot();
    size_t gathered = 0;
    for (const iovec& piece : run.pieces) {
      std::memcpy(run.staged + gathered, piece.iov_base, piece.iov_len);
      gathered += piece.iov_len;
    }
  }
  if (!thread_.joinable()) {
    if (!failed_ && !write(run)) {
      failed_ = true;
    }
    releaseSlot(run.staged);
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(run));
    ++handedOn_;
  }
  changed_.notify_all();
}

void CoalescingFileWriter::writeRuns() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) {
      return;
    }
    Run run = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    // After a failed write the rest is dropped: the download has failed, and
    // nothing more is to be written over a target already known to be wrong.
    if (!failed_ && !write(run)) {
      failed_ = true;
    }
    lock.lock();
    if (run.staged != nullptr) {
      freeSlots_.push_back(run.staged);
    }
    ++written_;
    changed_.notify_all();
  }
}

char* CoalescingFileWriter::takeSlot() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !freeSlots_.empty(); });
  char* slot = freeSlots_.back();
  freeSlots_.pop_back();
  return slot;
}

void CoalescingFileWriter::releaseSlot(char* slot) {
  if (slot == nullptr) {
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    freeSlots_.push_back(slot);
  }
  changed_.notify_all();
}

bool CoalescingFileWriter::write(Run& run) {
  const bool written = writeRun(run);
  if (written) {
    blockdev::runAfterWriteHook(descriptor_, run.start, run.length);
    if (ledger_ != nullptr) {
      ledger_->completed(run.length);
    }
  }
  return written;
}

bool CoalescingFileWriter::writeRun(Run& run) {
  if (run.staged != nullptr) {
    const size_t done = direct_.write(run.start, run.staged, run.length);
    if (done == run.length) {
      return true;
    }
    // Whatever the direct write left (a device that refuses it after all, a
    // short write), the target's own descriptor tries; its failure is the
    // failure, and its errno the reason given.
    if (!pwriteFull(descriptor_, run.staged + done, run.length - done, run.start + static_cast<off_t>(done))) {
      noteFailure(run, errno);
      return false;
    }
    return true;
  }
  if (!pwritevFull(descriptor_, run.pieces.data(), run.pieces.size(), run.start)) {
    noteFailure(run, errno);
    return false;
  }
  // Written back at once, so that the run counts as on the device like the
  // direct ones (only unaligned runs come here: rare, and small). A failed
  // writeback is still reported by the sync at the end.
  ::sync_file_range(descriptor_, run.start, static_cast<off_t>(run.length),
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  return true;
}
