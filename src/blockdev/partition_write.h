#pragma once
// One partition image written so that it proves itself, on either restore
// route: the object owns the exclusively opened partition and runs the one
// order that must never be half-done or done differently by one caller:
//
//   begin()    the image fits; the signatures the old contents left where
//              the image's start goes are wiped, before its first byte;
//   body()     the image's bytes go on through the caller's writer, all but
//              its first MiB, which is held back here (HeldBackStart);
//   commit()   flush, read the body back against the hashes its writer
//              recorded in ledger(), write the held-back start, flush, read
//              that back; true only then.
//
// Stopped anywhere before commit() returns, the partition holds no file
// system that anything would find.
#include <chrono>
#include <cstdint>
#include <string>

#include "blockdev/block_device.h"
#include "blockdev/block_sink.h"
#include "blockdev/held_back_start.h"
#include "blockdev/write_ledger.h"

namespace blockdev {

class PartitionWrite {
public:
  static constexpr int64_t heldBackBytes = HeldBackStart::heldBytes;

  // How the image's bytes arrive: the whole image from its start, or the
  // rest of one whose start an earlier write already put on the target
  // (nothing is wiped or held back then).
  enum class From { start, resumed };

  explicit PartitionWrite(BlockDevice target);
  PartitionWrite(const PartitionWrite&) = delete;
  PartitionWrite& operator=(const PartitionWrite&) = delete;

  BlockDevice& target() { return target_; }
  const BlockDevice& target() const { return target_; }
  int descriptor() const { return target_.descriptor(); }
  const std::string& path() const { return target_.path(); }

  // Refuses an image of `imageSize` bytes that does not fit the target, then
  // wipes the old signatures in the part of the target that is held back.
  // False with `error` set; with From::start nothing of the image may be
  // written before this.
  bool begin(uint64_t imageSize, From from, std::string& error);

  // Where the image's bytes go: what lies in its held-back start is kept
  // here, the rest is handed to `rest`, a writer on descriptor() that
  // records every run it hands on in ledger().
  HoldingBackSink body(ImageBlockSink& rest);
  WriteLedger& ledger() { return ledger_; }

  // Flushes what was written so far to the device.
  bool flush(std::string& error);

  // Once `rest` has written everything: flush, read back, write the held-back
  // start, flush, read back. False with `error` set at the first step that
  // failed; the target may then hold the body but no volume that looks whole.
  bool commit(std::string& error);

  // What the read-backs of commit() read and how long they took.
  int64_t readBackBytes() const { return read_back_bytes_; }
  std::chrono::duration<double> readBackTime() const { return read_back_time_; }

private:
  bool verify(const WriteLedger& ledger, std::string& error);

  BlockDevice target_;
  bool holding_ = false;
  HeldBackStart held_;
  WriteLedger ledger_;
  int64_t read_back_bytes_ = 0;
  std::chrono::duration<double> read_back_time_{0};
};

}  // namespace blockdev
