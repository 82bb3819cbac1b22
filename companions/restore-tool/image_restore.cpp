#include "image_restore.h"

#include <fcntl.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "blockdev/signature_wipe.h"
#include "blockdev/write_ledger.h"

namespace {

// The start of a volume, where file systems keep their signatures, is written
// last, once the rest is on the device and verified: a restore stopped at any
// point leaves no volume that looks whole.
constexpr uint64_t kHeldBackBytes = 1024 * 1024;

// Copies bytes [from, to) of the image onto the target, recording each chunk
// in `ledger`. Progress counts only bytes whose writeback has completed: each
// chunk's writeback is started at once, and the oldest is waited for only
// once more than a window of chunks is under way, so reading, writing and
// the device's own work overlap while the progress stays a few MiB behind.
class RangeCopier {
public:
  RangeCopier(ImageSource& image, blockdev::BlockDevice& target, ProgressPrinter& progress)
      : image_(image), target_(target), progress_(progress), buffer_(kImageChunkSize) {}

  bool copy(uint64_t from, uint64_t to, blockdev::WriteLedger& ledger, std::string& error) {
    for (uint64_t offset = from; offset < to;) {
      const size_t length = static_cast<size_t>(std::min<uint64_t>(kImageChunkSize, to - offset));
      if (!image_.readAt(offset, buffer_.data(), length, error)) {
        return false;
      }
      ledger.record(static_cast<int64_t>(offset), buffer_.data(), length);
      if (!target_.writeAll(offset, buffer_.data(), length, error)) {
        return false;
      }
      blockdev::runAfterWriteHook(target_.descriptor(), static_cast<int64_t>(offset), length);
      ::sync_file_range(target_.descriptor(), static_cast<off_t>(offset), static_cast<off_t>(length),
                        SYNC_FILE_RANGE_WRITE);
      pending_.push_back({offset, length});
      pendingBytes_ += length;
      while (pendingBytes_ > kWritebackWindow) {
        settleOldest();
      }
      offset += length;
      if (progress_.readerGone()) {
        error = "the output was closed; restore stopped";
        return false;
      }
    }
    return true;
  }

  // Waits for the writeback of every chunk still under way; their bytes then
  // count as done.
  void settlePending() {
    while (!pending_.empty()) {
      settleOldest();
    }
  }

private:
  // Bytes whose writeback may be under way at once.
  static constexpr size_t kWritebackWindow = 16 * kImageChunkSize;

  struct Chunk {
    uint64_t offset;
    size_t length;
  };

  void settleOldest() {
    const Chunk chunk = pending_.front();
    pending_.pop_front();
    ::sync_file_range(target_.descriptor(), static_cast<off_t>(chunk.offset), static_cast<off_t>(chunk.length),
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    pendingBytes_ -= chunk.length;
    durable_ += chunk.length;
    progress_.update(durable_);
  }

  ImageSource& image_;
  blockdev::BlockDevice& target_;
  ProgressPrinter& progress_;
  std::vector<char> buffer_;
  std::deque<Chunk> pending_;
  size_t pendingBytes_ = 0;
  uint64_t durable_ = 0;
};

// Flushes the device and reads what `ledger` recorded back from it.
bool flushAndVerify(blockdev::BlockDevice& target, const blockdev::WriteLedger& ledger, std::string& error) {
  return target.sync(error) && ledger.verify(target.descriptor(), target.path(), error);
}

}  // namespace

bool writeImage(ImageSource& image, blockdev::BlockDevice& target, ProgressPrinter& progress, std::string& error) {
  const uint64_t size = image.size();
  if (target.size() < size) {
    error = "target " + target.path() + " holds " + std::to_string(target.size()) + " bytes, the image needs " +
            std::to_string(size);
    return false;
  }
  const uint64_t held = std::min(size, kHeldBackBytes);
  // Old signatures at the start go before the first image byte lands, so the
  // old volume cannot be taken for the restored one either.
  if (!blockdev::wipeSignatures(target.path(), static_cast<int64_t>(held), error)) {
    return false;
  }
  progress.update(0);
  RangeCopier copier(image, target, progress);
  blockdev::WriteLedger rest;
  blockdev::WriteLedger start;
  if (!copier.copy(held, size, rest, error)) {
    // What was written still reaches the device.
    std::string ignored;
    target.sync(ignored);
    return false;
  }
  copier.settlePending();
  if (!flushAndVerify(target, rest, error) || !copier.copy(0, held, start, error)) {
    return false;
  }
  copier.settlePending();
  if (!flushAndVerify(target, start, error)) {
    return false;
  }
  progress.finish();
  return true;
}

int restoreImageCommand(const std::string& image_path, const std::string& device, std::ostream& out) {
  std::string error;
  std::unique_ptr<ImageSource> image = openImage(image_path, error);
  blockdev::BlockDevice target;
  if (image && target.open(device, blockdev::DeviceKind::Partition, error)) {
    ProgressPrinter progress(out, image->size());
    if (writeImage(*image, target, progress, error)) {
      // No path in this line: the agent looks for "error" anywhere in it.
      out << "Image restored successfully" << std::endl;
      return 0;
    }
  }
  out << "error: " << error << std::endl;
  return 1;
}
