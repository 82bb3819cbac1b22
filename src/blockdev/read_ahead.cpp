#include "blockdev/read_ahead.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace blockdev {

ReadAhead::ReadAhead(int descriptor, std::vector<Piece> plan)
    : descriptor_(descriptor), plan_(std::move(plan)), reads_(plan_.size()) {
  size_t largest = directIoAlignment;
  for (const Piece& piece : plan_) {
    largest = std::max(largest, piece.want);
  }
  for (size_t i = 0; i < slotCount; ++i) {
    AlignedBuffer slot(largest);
    if (!slot) {
      return;
    }
    slots_.push_back(std::move(slot));
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
  char* memory = slots_[index % slotCount].data();
  read.data = memory;
  const ssize_t got = preadFull(descriptor_, memory, piece.want, static_cast<off_t>(piece.at));
  if (got < 0) {
    read.error = errno;
  } else {
    read.bytes = static_cast<size_t>(got);
  }
  return read;
}

}  // namespace blockdev
