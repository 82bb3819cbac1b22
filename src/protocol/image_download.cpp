#include "protocol/image_download.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <vector>

#include "control/shared_state.h"
#include "protocol/image_stream.h"
#include "protocol/open_file.h"
#include "protocol/server_connection.h"
#include "protocol/target_writer.h"
#include "protocol/tcp_stack.h"
#include "support/file.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int sizeTimeoutMs = 60000;
constexpr int dataTimeoutMs = 180000;
// The largest partition-table record accepted.
constexpr int64_t maxRecordSize = int64_t{1} << 20;
// Partition-table records are read in pieces of this size.
constexpr size_t receiveBufferSize = 32768;
// A stalled stream is re-checked this often, so a cancel does not wait for
// the full read time-out.
constexpr int cancelCheckMs = 1000;

// Reads what arrives within `timeoutMs`; 0 once that passed without data, the
// connection broke, or `stop` answered true.
size_t readWithin(IPipe& pipe, char* buffer, size_t size, int timeoutMs, bool (*stop)()) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (stop != nullptr && stop()) {
      return 0;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return 0;
    }
    const int slice = stop != nullptr ? static_cast<int>(std::min<long long>(left, cancelCheckMs))
                                      : static_cast<int>(left);
    const size_t received = pipe.Read(buffer, size, slice);
    if (received > 0) {
      return received;
    }
    if (pipe.hasError()) {
      return 0;
    }
  }
}

bool cancelRequested() { return cancelrestore.load(); }

// The 8-byte little-endian size, read whole within 60 s, or nothing.
bool readImageSize(IPipe& pipe, int64_t* size) {
  unsigned char field[8];
  size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(sizeTimeoutMs);
  while (got < sizeof field) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const size_t received =
        left > 0 ? readWithin(pipe, reinterpret_cast<char*>(field) + got, sizeof field - got, static_cast<int>(left),
                              nullptr)
                 : 0;
    if (received == 0) {
      return false;
    }
    got += received;
  }
  uint64_t raw = 0;
  for (size_t i = 0; i < sizeof field; ++i) {
    raw |= static_cast<uint64_t>(field[i]) << (8 * i);
  }
  *size = static_cast<int64_t>(raw);
  return true;
}

struct FinishWritesOnUnwind {
  CoalescingFileWriter& writer;
  ~FinishWritesOnUnwind() {
    if (std::uncaught_exceptions() > 0) {
      writer.finish();
    }
  }
};

int receiveRecord(IPipe& pipe, File& target, int64_t size) {
  std::vector<char> buffer(receiveBufferSize);
  int64_t total = 0;
  while (total < size) {
    const size_t wanted = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buffer.size()), size - total));
    const size_t received = readWithin(pipe, buffer.data(), wanted, dataTimeoutMs, nullptr);
    if (received == 0) {
      return downloadStreamFailed;
    }
    if (!writeFully(target, -1, buffer.data(), received)) {
      return downloadWriteFailed;
    }
    total += static_cast<int64_t>(received);
  }
  return downloadOk;
}

int receiveImage(IPipe& pipe, File& target, int64_t size) {
  if (size == 0) {
    return downloadOk;
  }
  CoalescingFileWriter writer(target);
  ImageStreamParser parser(size, writer, cancelRequested);
  // The writer's thread writes from the parser's buffers; should anything
  // throw, it must be done with them before the parser goes.
  const FinishWritesOnUnwind finishFirst{writer};
  int result = downloadOk;
  for (;;) {
    const size_t received = readWithin(pipe, parser.space(), parser.spaceSize(), dataTimeoutMs, cancelRequested);
    if (received == 0) {
      result = downloadStreamFailed;
      break;
    }
    if (!restore_retry_ok.load()) {
      restore_retry_ok = true;
    }
    const ImageStreamParser::Status status = parser.received(received);
    if (status == ImageStreamParser::Status::needMore) {
      continue;
    }
    result = status == ImageStreamParser::Status::done          ? downloadOk
             : status == ImageStreamParser::Status::writeFailed ? downloadWriteFailed
                                                                : downloadStreamFailed;
    break;
  }
  // Blocks handed over before a failure belong on the target as much as
  // those before success; only a failed write leaves the gathered rest out.
  // The parser's buffers are still there while this waits for the writes.
  if (!writer.finish() && result == downloadOk) {
    result = downloadWriteFailed;
  }
  // Done means on the device, not in the page cache.
  if (result == downloadOk && !target.Sync()) {
    result = downloadWriteFailed;
  }
  return result;
}

}  // namespace

int downloadImage(int img_id, std::string img_time, std::string outfile, bool mbr, int64_t offset, int,
                  int64_t* out_imgsize, int64_t* out_targetsize) {
  int err = 0;
  const PipePtr pipe(connectToService(&err));
  if (!pipe) {
    return downloadNoConnection;
  }
  std::string request = "DOWNLOAD IMAGE#pw=" + readServicePassword() + "&img_id=" + std::to_string(img_id) +
                        "&time=" + img_time + "&mbr=" + (mbr ? "true" : "false");
  if (offset != -1) {
    request += "&offset=" + std::to_string(offset);
  }
  CTCPStack tcpstack(false, CTCPStack::defaultMaxPacketSize);
  // A failed send shows up as a missing size.
  tcpstack.Send(pipe.get(), request, 10000, true);

  const std::unique_ptr<File> target(Server::openFile(outfile, 10));
  if (!target) {
    return downloadCannotOpenTarget;
  }
  const int64_t targetSize = target->Size();
  if (out_targetsize != nullptr) {
    *out_targetsize = targetSize;
  }
  int64_t imageSize = -1;
  const bool sizeArrived = readImageSize(*pipe, &imageSize);
  if (out_imgsize != nullptr) {
    *out_imgsize = sizeArrived ? imageSize : -1;
  }
  if (!sizeArrived) {
    return downloadStreamFailed;
  }
  // -1 and -2 are the service's refusals; no other negative size means anything.
  if (imageSize < 0) {
    return downloadRefused;
  }
  if (mbr) {
    // A partition-table record is a few kilobytes; a larger announcement is
    // refused before a byte of it reaches the file.
    if (imageSize > maxRecordSize) {
      return downloadRefused;
    }
    return receiveRecord(*pipe, *target, imageSize);
  }
  if (targetSize < imageSize) {
    return downloadTargetTooSmall;
  }
  return receiveImage(*pipe, *target, imageSize);
}
