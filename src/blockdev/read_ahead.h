#pragma once
// Reading a planned series of pieces of a file in order, on a thread of its
// own that stays a piece ahead of the caller, so that reading the device and
// working on what was read overlap. Where no thread can be started, each
// piece is read when it is awaited.
#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "support/io.h"

namespace blockdev {

class ReadAhead {
public:
  struct Piece {
    size_t range;  // the caller's own mark
    int64_t at;    // position and length, on the alignment direct reads need
    size_t want;
  };
  struct Read {
    const char* data = nullptr;
    size_t bytes = 0;  // fewer than wanted at the end of the file or after an error
    int error = 0;     // errno of a failed read
  };

  ReadAhead(int descriptor, std::vector<Piece> plan);
  // Stops reading ahead; a read under way is finished first.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // False when no aligned memory could be had for the pieces.
  bool ready() const { return slots_.size() == slotCount; }
  size_t count() const { return plan_.size(); }
  const Piece& plan(size_t index) const { return plan_[index]; }

  // Pieces are awaited in order, each released before the one two after it
  // is awaited; the data stays valid until the piece is released.
  Read await(size_t index);
  void release(size_t index);

private:
  static constexpr size_t slotCount = 2;

  void readAll();
  Read readPiece(size_t index);

  int descriptor_;
  std::vector<Piece> plan_;
  std::vector<AlignedBuffer> slots_;
  std::vector<Read> reads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t read_ = 0;      // pieces read so far
  size_t released_ = 0;  // pieces the caller is done with
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace blockdev
