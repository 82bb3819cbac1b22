#include "image_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>


#include "stream_sender.h"
#include "support/pause.h"
#include "support/unique_fd.h"

namespace {

// About 1 MiB per system call; between calls the progress is updated.
constexpr int64_t kRecordsPerSend = 256;
// Records are small; this only guards against a damaged store.
constexpr size_t kMaxRecordSize = 64 * 1024 * 1024;

std::string littleEndian64(int64_t value) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF);
  }
  return bytes;
}

bool sendSize(StreamSender& sender, int64_t size, const FaultPlan& faults) {
  const std::string field = littleEndian64(size);
  if (!faults.split_size) {
    return sender.send(field.data(), field.size());
  }
  // With TCP_NODELAY and a pause in between, the client's first read sees
  // only the first piece.
  if (!sender.send(field.data(), 3)) {
    return false;
  }
  pauseFor(std::chrono::milliseconds(300));
  return sender.send(field.data() + 3, 5);
}

int64_t positionOfRecord(int file, int64_t index) {
  unsigned char bytes[8] = {};
  if (::pread(file, bytes, 8, index * kBlockRecordSize) != 8) {
    return -1;
  }
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  }
  return static_cast<int64_t>(value);
}

// Index of the first record whose position is at least `offset`; records are
// stored in ascending position order.
int64_t firstRecordFrom(int file, int64_t count, int64_t offset) {
  int64_t low = 0, high = count;
  while (low < high) {
    const int64_t middle = low + (high - low) / 2;
    if (positionOfRecord(file, middle) < offset) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

// What ended a stream early, with the system's reason when a send failed
// rather than a fault's budget.
std::string cutOff(const StreamSender& sender, const std::string& what) {
  return what + (sender.failure().empty() ? "" : " (" + sender.failure() + ")");
}

std::string refuse(StreamSender& sender, const FaultPlan& faults, const std::string& why) {
  sendSize(sender, kRefused, faults);
  return "refused: " + why;
}

std::string streamRecord(StreamSender& sender, const Store& store, const ImageMeta& image, const FaultPlan& faults) {
  std::string record;
  if (!readWholeFile(store.recordPath(image), record, kMaxRecordSize) || record.size() < 2) {
    return refuse(sender, faults, "the record of image " + std::to_string(image.id) + " cannot be read");
  }
  if (faults.corrupt_records) {
    record[1] = 2;  // a version no reader accepts
  }
  if (!sendSize(sender, static_cast<int64_t>(record.size()), faults) || !sender.send(record.data(), record.size())) {
    return cutOff(sender,
                  "record of image " + std::to_string(image.id) + " cut off after " + std::to_string(sender.sent()) + " bytes");
  }
  return "record of image " + std::to_string(image.id) + " sent (" + std::to_string(record.size()) + " bytes)";
}

std::string streamBlocks(StreamSender& sender, const Store& store, const ImageMeta& image, int64_t offset,
                         const FaultPlan& faults, DownloadProgress& progress) {
  const std::string name = "image " + std::to_string(image.id);
  UniqueFd blocks(::open(store.blocksPath(image).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (blocks.get() < 0 || ::fstat(blocks.get(), &info) != 0 || info.st_size != image.data_blocks * kBlockRecordSize) {
    return refuse(sender, faults, "the blocks of " + name + " are missing or do not match its meta file");
  }
  ::posix_fadvise(blocks.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  const int64_t first = offset > 0 ? firstRecordFrom(blocks.get(), image.data_blocks, offset) : 0;
  auto ticket = progress.start(image.data_blocks - first);
  if (faults.stall_after) {
    sender.setBudget(*faults.stall_after, StreamSender::Exhausted::Stall);
  } else if (faults.close_after) {
    sender.setBudget(*faults.close_after, StreamSender::Exhausted::Close);
  } else if (faults.cut_once_after && !faults.cut_done->exchange(true)) {
    sender.setBudget(*faults.cut_once_after, StreamSender::Exhausted::Close);
  }
  if (!sendSize(sender, image.image_size, faults)) {
    return cutOff(sender, name + " cut off in its size field");
  }
  for (int64_t next = first; next < image.data_blocks;) {
    const int64_t count = std::min(kRecordsPerSend, image.data_blocks - next);
    if (!sender.sendFile(blocks.get(), next * kBlockRecordSize, static_cast<size_t>(count * kBlockRecordSize))) {
      return cutOff(sender, name + " cut off after " + std::to_string(sender.sent()) + " bytes");
    }
    next += count;
    ticket.update(next - first);
  }
  const std::string marker = littleEndian64(kEndMarker);
  if (!sender.send(marker.data(), marker.size())) {
    return cutOff(sender, name + " cut off before its end marker");
  }
  return name + " sent (" + std::to_string(image.data_blocks - first) + " blocks, " + std::to_string(sender.sent()) +
         " bytes" + (offset > 0 ? ", from offset " + std::to_string(offset) : "") + ")";
}

}  // namespace

bool parseDownloadRequest(const Request& request, DownloadRequest& download) {
  const auto value = [&](const char* key) -> const std::string* {
    const auto found = request.params.find(key);
    return found == request.params.end() ? nullptr : &found->second;
  };
  const std::string* id = value("img_id");
  const std::string* time = value("time");
  const std::string* mode = value("mbr");
  int64_t number = 0;
  if (id == nullptr || time == nullptr || mode == nullptr || !parseInteger(*id, number) || number <= 0 ||
      number > 0x7FFFFFFF || !parseInteger(*time, download.time) || (*mode != "true" && *mode != "false")) {
    return false;
  }
  download.image_id = static_cast<int>(number);
  download.record_mode = *mode == "true";
  download.offset = -1;
  if (const std::string* offset = value("offset")) {
    return parseInteger(*offset, download.offset) && download.offset >= -1;
  }
  return true;
}

std::string streamDownload(int socket, const RequestHandler& handler, const Request& request, const FaultPlan& faults,
                           DownloadProgress& progress) {
  StreamSender sender(socket);
  if (!handler.mayServe(request)) {
    return refuse(sender, faults, request.password_ok ? "no login yet" : "wrong service password");
  }
  DownloadRequest download;
  if (!parseDownloadRequest(request, download)) {
    return refuse(sender, faults, "malformed download request");
  }
  const auto image = handler.store().findImage(download.image_id);
  // The time must match too: a stale listing must not fetch some other image.
  if (!image || image->time != download.time) {
    return refuse(sender, faults, "no image " + std::to_string(download.image_id) + " with time " +
                                      std::to_string(download.time));
  }
  if (download.record_mode) {
    if (faults.refuse_records) {
      return refuse(sender, faults, "records are refused in this run");
    }
    return streamRecord(sender, handler.store(), *image, faults);
  }
  if (faults.refuse_images) {
    return refuse(sender, faults, "images are refused in this run");
  }
  return streamBlocks(sender, handler.store(), *image, download.offset, faults, progress);
}
