#include "blockdev/write_ledger.h"

#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>

#include "blockdev/read_ahead.h"
#include "support/io.h"
#include "support/system_error.h"
#include "support/unique_fd.h"

namespace blockdev {

namespace {

constexpr auto kAlignment = static_cast<int64_t>(directIoAlignment);
constexpr size_t kReadSize = 4 * 1024 * 1024;

struct StateDeleter {
  void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
};
using HashState = std::unique_ptr<XXH3_state_t, StateDeleter>;

std::mutex hook_mutex;
AfterWriteHook after_write_hook;

// Opens the file behind `descriptor` again for reading past the page cache.
// A file system without direct I/O gets a plain descriptor whose cached
// pages are dropped first, so the read still comes from the storage.
UniqueFd openUncached(int descriptor) {
  UniqueFd direct = reopenDescriptor(descriptor, O_RDONLY | O_DIRECT);
  if (direct.get() >= 0) {
    return direct;
  }
  UniqueFd plain = reopenDescriptor(descriptor, O_RDONLY);
  if (plain.get() >= 0) {
    ::posix_fadvise(plain.get(), 0, 0, POSIX_FADV_DONTNEED);
  }
  return plain;
}

std::string rangeText(int64_t start, size_t length) {
  return "bytes " + std::to_string(start) + " to " + std::to_string(start + static_cast<int64_t>(length) - 1);
}

}  // namespace

void WriteLedger::record(int64_t start, const iovec* pieces, size_t count, size_t length) {
  HashState state(XXH3_createState());
  XXH3_64bits_reset(state.get());
  for (size_t i = 0; i < count; ++i) {
    XXH3_64bits_update(state.get(), pieces[i].iov_base, pieces[i].iov_len);
  }
  const uint64_t hash = XXH3_64bits_digest(state.get());
  std::lock_guard<std::mutex> guard(mutex_);
  ranges_.push_back({start, length, hash});
  bytes_ += static_cast<int64_t>(length);
}

void WriteLedger::record(int64_t start, const char* data, size_t length) {
  const iovec piece{const_cast<char*>(data), length};
  record(start, &piece, 1, length);
}

int64_t WriteLedger::bytes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return bytes_;
}

bool WriteLedger::verify(int descriptor, const std::string& name, std::string& error) const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (ranges_.empty()) {
    return true;
  }
  const UniqueFd reader(openUncached(descriptor));
  if (reader.get() < 0) {
    error = systemError("cannot read " + name + " back");
    return false;
  }
  std::vector<ReadAhead::Piece> plan;
  for (size_t index = 0; index < ranges_.size(); ++index) {
    const Range& range = ranges_[index];
    const int64_t end = range.start + static_cast<int64_t>(range.length);
    for (int64_t at = range.start / kAlignment * kAlignment; at < end;) {
      const int64_t want = std::min<int64_t>(kReadSize, (end - at + kAlignment - 1) / kAlignment * kAlignment);
      plan.push_back({index, at, static_cast<size_t>(want)});
      at += want;
    }
  }
  ReadAhead pieces(reader.get(), std::move(plan));
  if (!pieces.ready()) {
    error = systemError("cannot read " + name + " back", ENOMEM);
    return false;
  }
  HashState state(XXH3_createState());
  size_t piece = 0;
  for (size_t index = 0; index < ranges_.size(); ++index) {
    const Range& range = ranges_[index];
    const int64_t end = range.start + static_cast<int64_t>(range.length);
    XXH3_64bits_reset(state.get());
    for (; piece < pieces.count() && pieces.plan(piece).range == index; ++piece) {
      const ReadAhead::Read read = pieces.await(piece);
      const int64_t at = pieces.plan(piece).at;
      // Past the end of what was read nothing of the range is there.
      const int64_t from = std::max(at, range.start);
      const int64_t to = std::min(at + static_cast<int64_t>(read.bytes), end);
      if (read.error != 0 || to < std::min(at + static_cast<int64_t>(pieces.plan(piece).want), end) || to <= from) {
        const std::string what = "cannot read " + rangeText(range.start, range.length) + " of " + name + " back";
        error = read.error != 0 ? systemError(what, read.error) : what;
        return false;
      }
      XXH3_64bits_update(state.get(), read.data + (from - at), static_cast<size_t>(to - from));
      pieces.release(piece);
    }
    if (XXH3_64bits_digest(state.get()) != range.hash) {
      error = rangeText(range.start, range.length) + " of " + name + " differ from what was written";
      return false;
    }
  }
  return true;
}

void setAfterWriteHookForTests(AfterWriteHook hook) {
  std::lock_guard<std::mutex> guard(hook_mutex);
  after_write_hook = std::move(hook);
}

void runAfterWriteHook(int descriptor, int64_t start, size_t length) {
  AfterWriteHook hook;
  {
    std::lock_guard<std::mutex> guard(hook_mutex);
    hook = after_write_hook;
  }
  if (hook) {
    hook(descriptor, start, length);
  }
}

}  // namespace blockdev
