#include "image_restore.h"

#include <fcntl.h>

#include <algorithm>
#include <deque>
#include <utility>
#include <vector>

#include "blockdev/partition_write.h"
#include "blockdev/write_ledger.h"

namespace {

// Writes the runs handed to it onto the partition, recording each in the
// write's ledger. Progress counts only bytes whose writeback has completed:
// each run's writeback is started at once, and the oldest is waited for only
// once more than a window of runs is under way, so reading, writing and the
// device's own work overlap while the progress stays a few MiB behind.
class WritebackWindow : public ImageBlockSink {
public:
  WritebackWindow(blockdev::PartitionWrite& target, ProgressPrinter& progress) : target_(target), progress_(progress) {}

  bool writeAt(int64_t position, const char* data, size_t length) override {
    const int fd = target_.descriptor();
    target_.ledger().record(position, data, length);
    if (!target_.target().writeAll(static_cast<uint64_t>(position), data, length, error_)) {
      return false;
    }
    blockdev::runAfterWriteHook(fd, position, length);
    ::sync_file_range(fd, position, static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
    pending_.push_back({position, length});
    pendingBytes_ += length;
    while (pendingBytes_ > kWritebackWindow) {
      settleOldest();
    }
    return true;
  }
  // Each run is written before writeAt() returns.
  bool flush() override { return true; }

  // Waits for the writeback of every run still under way; their bytes then
  // count as done.
  void settlePending() {
    while (!pending_.empty()) {
      settleOldest();
    }
  }
  const std::string& error() const { return error_; }

private:
  // Bytes whose writeback may be under way at once.
  static constexpr size_t kWritebackWindow = 16 * kImageChunkSize;

  struct Run {
    int64_t position;
    size_t length;
  };

  void settleOldest() {
    const Run run = pending_.front();
    pending_.pop_front();
    ::sync_file_range(target_.descriptor(), run.position, static_cast<off_t>(run.length),
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    pendingBytes_ -= run.length;
    durable_ += run.length;
    progress_.update(durable_);
  }

  blockdev::PartitionWrite& target_;
  ProgressPrinter& progress_;
  std::string error_;
  std::deque<Run> pending_;
  size_t pendingBytes_ = 0;
  uint64_t durable_ = 0;
};

// Hands the whole image, chunk by chunk, to `body`.
bool copyImage(ImageSource& image, ImageBlockSink& body, const WritebackWindow& window, ProgressPrinter& progress,
               std::string& error) {
  std::vector<char> buffer(kImageChunkSize);
  for (uint64_t offset = 0; offset < image.size();) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kImageChunkSize, image.size() - offset));
    if (!image.readAt(offset, buffer.data(), length, error)) {
      return false;
    }
    if (!body.writeAt(static_cast<int64_t>(offset), buffer.data(), length)) {
      error = window.error();
      return false;
    }
    offset += length;
    if (progress.readerGone()) {
      error = "the output was closed; restore stopped";
      return false;
    }
  }
  return true;
}

}  // namespace

bool writeImage(ImageSource& image, blockdev::BlockDevice target, ProgressPrinter& progress, std::string& error) {
  blockdev::PartitionWrite write(std::move(target));
  if (!write.begin(image.size(), blockdev::PartitionWrite::From::start, error)) {
    return false;
  }
  progress.update(0);
  WritebackWindow window(write, progress);
  blockdev::HoldingBackSink body = write.body(window);
  if (!copyImage(image, body, window, progress, error)) {
    // What was written still reaches the device.
    std::string ignored;
    write.flush(ignored);
    return false;
  }
  window.settlePending();
  if (!write.commit(error)) {
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
    if (writeImage(*image, std::move(target), progress, error)) {
      // No path in this line: the agent looks for "error" anywhere in it.
      out << "Image restored successfully" << std::endl;
      return 0;
    }
  }
  out << "error: " << error << std::endl;
  return 1;
}
