#pragma once
// The first MiB of a partition image is where file systems keep the
// signatures that tools (and the kernel) probe for. It is kept back from the
// target until the rest of the image is written and flushed, and the old
// contents of that MiB are wiped before the first image byte lands, so that a
// restore stopped at any point leaves a partition on which no file system is
// found, rather than a volume that looks whole and fails later.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "blockdev/block_sink.h"
#include "blockdev/write_ledger.h"

namespace blockdev {

class HeldBackStart {
public:
  static constexpr int64_t heldBytes = 1024 * 1024;

  // Keeps the part of the `length` bytes at `position` that lies below
  // heldBytes (later bytes for the same place replace earlier ones) and
  // returns how many of the bytes at the front that was.
  size_t hold(int64_t position, const char* data, size_t length);
  // Writes every held byte at its place on `descriptor`'s file (`name` in
  // texts), recording each range in `ledger`, and flushes; false with
  // `error` set when that failed.
  bool writeTo(int descriptor, const std::string& name, WriteLedger& ledger, std::string& error) const;

private:
  std::vector<char> bytes_ = std::vector<char>(heldBytes);
  std::vector<bool> present_ = std::vector<bool>(heldBytes);
};

// Passes the blocks of an image stream on to `rest`, all but the bytes that
// `held` keeps back (all of them when `held` is null).
class HoldingBackSink : public ImageBlockSink {
public:
  HoldingBackSink(HeldBackStart* held, ImageBlockSink& rest) : held_(held), rest_(rest) {}
  bool writeAt(int64_t position, const char* data, size_t length) override;
  bool flush() override { return rest_.flush(); }

private:
  HeldBackStart* held_;
  ImageBlockSink& rest_;
};

}  // namespace blockdev
