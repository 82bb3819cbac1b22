#include "blockdev/partition_write.h"

#include <algorithm>
#include <utility>

namespace blockdev {

PartitionWrite::PartitionWrite(BlockDevice target) : target_(std::move(target)) {}

bool PartitionWrite::begin(uint64_t imageSize, From from, std::string& error) {
  if (target_.size() < imageSize) {
    error = "target " + path() + " holds " + std::to_string(target_.size()) + " bytes, the image needs " +
            std::to_string(imageSize);
    return false;
  }
  holding_ = from == From::start;
  if (!holding_) {
    return true;
  }
  // Old signatures at the start go before the first image byte lands, so the
  // old volume cannot be taken for the restored one either.
  return target_.wipeSignatures(std::min<int64_t>(static_cast<int64_t>(imageSize), heldBackBytes), error);
}

HoldingBackSink PartitionWrite::body(ImageBlockSink& rest) { return HoldingBackSink(holding_ ? &held_ : nullptr, rest); }

bool PartitionWrite::flush(std::string& error) { return target_.sync(error); }

bool PartitionWrite::commit(std::string& error) {
  // Done means on the device, not in the page cache, and read back from it;
  // only then does the start of the volume follow, checked the same way.
  if (!flush(error) || !verify(ledger_, error)) {
    return false;
  }
  WriteLedger start;
  return held_.writeTo(descriptor(), path(), start, error) && verify(start, error);
}

bool PartitionWrite::verify(const WriteLedger& ledger, std::string& error) {
  const auto begun = std::chrono::steady_clock::now();
  const bool same = ledger.verify(descriptor(), path(), error);
  read_back_time_ += std::chrono::steady_clock::now() - begun;
  read_back_bytes_ += ledger.bytes();
  if (!same) {
    error = "verification failed: " + error;
  }
  return same;
}

}  // namespace blockdev
