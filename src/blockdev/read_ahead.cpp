#include "blockdev/read_ahead.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace blockdev {

namespace {

// Direct reads need memory on this boundary.
constexpr size_t kAlignment = 4096;

}  // namespace

ReadAhead::ReadAhead(int descriptor, std::vector<Piece> plan)
    : descriptor_(descriptor), plan_(std::move(plan)), reads_(plan_.size()) {
  size_t largest = kAlignment;
  for (const Piece& piece : plan_) {
    largest = std::max(largest, piece.want);
  }
  for (size_t i = 0; i < slotCount; ++i) {
    void* memory = nullptr;
    if (::posix_memalign(&memory, kAlignment, largest) != 0) {
      return;
    }
    slots_.emplace_back(static_cast<char*>(memory));
  }
  try {
    thread_ = std::thread([this] { readAll(); });
  } catch (const std::system_error&) {
    // No thread to be had: each piece is read when it is awaited.
  }
}

ReadAhead::~ReadAhead() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

ReadAhead::Read ReadAhead::await(size_t index) {
  if (!thread_.joinable()) {
    return readPiece(index);
  }
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return read_ > index; });
  return reads_[index];
}

void ReadAhead::release(size_t index) {
  {
    const std::lock_guard lock(mutex_);
    released_ = std::max(released_, index + 1);
  }
  changed_.notify_all();
}

void ReadAhead::readAll() {
  for (size_t index = 0; index < plan_.size(); ++index) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || index < released_ + slotCount; });
      if (stopping_) {
        return;
      }
    }
    const Read read = readPiece(index);
    {
      const std::lock_guard lock(mutex_);
      reads_[index] = read;
      read_ = index + 1;
    }
    changed_.notify_all();
  }
}

ReadAhead::Read ReadAhead::readPiece(size_t index) {
  const Piece& piece = plan_[index];
  Read read;
  char* memory = slots_[index % slotCount].get();
  read.data = memory;
  while (read.bytes < piece.want) {
    const ssize_t got = ::pread(descriptor_, memory + read.bytes, piece.want - read.bytes,
                                static_cast<off_t>(piece.at) + static_cast<off_t>(read.bytes));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      read.error = errno;
      break;
    }
    if (got == 0) {
      break;
    }
    read.bytes += static_cast<size_t>(got);
  }
  return read;
}

}  // namespace blockdev
