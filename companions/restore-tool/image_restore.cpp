#include "image_restore.h"

#include <algorithm>
#include <memory>
#include <vector>

bool writeImage(ImageSource& image, blockdev::BlockDevice& target, ProgressPrinter& progress, std::string& error) {
  const uint64_t size = image.size();
  if (target.size() < size) {
    error = "target " + target.path() + " holds " + std::to_string(target.size()) + " bytes, the image needs " +
            std::to_string(size);
    return false;
  }
  std::vector<char> buffer(kImageChunkSize);
  progress.update(0);
  for (uint64_t offset = 0; offset < size;) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kImageChunkSize, size - offset));
    if (!image.readAt(offset, buffer.data(), length, error) || !target.writeAll(offset, buffer.data(), length, error)) {
      return false;
    }
    offset += length;
    progress.update(offset);
    if (progress.readerGone()) {
      error = "the output was closed; restore stopped after " + std::to_string(offset) + " bytes";
      // What was written still reaches the device.
      std::string ignored;
      target.sync(ignored);
      return false;
    }
  }
  if (!target.sync(error)) {
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
