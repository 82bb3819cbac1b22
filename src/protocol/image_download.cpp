#include "protocol/image_download.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "blockdev/block_device.h"
#include "blockdev/partition_write.h"
#include "blockdev/target_writer.h"
#include "protocol/image_stream.h"
#include "protocol/open_file.h"
#include "protocol/server_connection.h"
#include "protocol/tcp_stack.h"
#include "support/file.h"
#include "support/log_line.h"
#include "support/pause.h"
#include "support/system_error.h"

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

using Stop = std::function<bool()>;
const Stop neverStop;

// Reads what arrives within `timeoutMs`; 0 once that passed without data, the
// connection broke, or `stop` (where there is one) answered true.
size_t readWithin(IPipe& pipe, char* buffer, size_t size, int timeoutMs, const Stop& stop) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (stop && stop()) {
      return 0;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return 0;
    }
    const int slice = stop ? static_cast<int>(std::min<long long>(left, cancelCheckMs)) : static_cast<int>(left);
    const size_t received = pipe.Read(buffer, size, slice);
    if (received > 0) {
      return received;
    }
    if (pipe.hasError()) {
      return 0;
    }
  }
}

bool cancelRequested(const DownloadSession& session) { return session.cancelled && session.cancelled(); }

// The 8-byte little-endian size, read whole within 60 s, or nothing.
bool readImageSize(IPipe& pipe, int64_t* size, const Stop& stop) {
  unsigned char field[8];
  size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(sizeTimeoutMs);
  while (got < sizeof field) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const size_t received =
        left > 0 ? readWithin(pipe, reinterpret_cast<char*>(field) + got, sizeof field - got, static_cast<int>(left),
                              stop)
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
    const size_t received = readWithin(pipe, buffer.data(), wanted, dataTimeoutMs, neverStop);
    if (received == 0) {
      return downloadStreamFailed;
    }
    if (!writeFully(target, -1, buffer.data(), received)) {
      logLine(systemError("writing " + target.name() + " failed"));
      return downloadWriteFailed;
    }
    total += static_cast<int64_t>(received);
  }
  return downloadOk;
}

// How one stream of blocks ended.
struct StreamOutcome {
  int result = downloadOk;
  // Set when the stream broke off (not cancelled, no write failed, no
  // corrupt data) at a point from which it can be asked to go on.
  std::optional<int64_t> resumeAt;
  bool dataArrived = false;
};

// With `handedSoFar` (the bytes earlier streams of the same download handed
// over, updated here), the download's durable share is published as it goes.
StreamOutcome receiveBlocks(IPipe& pipe, blockdev::PartitionWrite& target, int64_t size,
                            const DownloadSession& session, int64_t* handedSoFar) {
  CoalescingFileWriter writer(target.descriptor(), target.path(), CoalescingFileWriter::defaultCapacity, true,
                              &target.ledger());
  blockdev::HoldingBackSink body = target.body(writer);
  ImageStreamParser parser(size, body, session.cancelled);
  // The writer's thread writes from the parser's buffers; should anything
  // throw, it must be done with them before the parser goes.
  const FinishWritesOnUnwind finishFirst{writer};
  StreamOutcome outcome;
  bool broken = false;
  for (;;) {
    const size_t received = readWithin(pipe, parser.space(), parser.spaceSize(), dataTimeoutMs, session.cancelled);
    if (received == 0) {
      outcome.result = downloadStreamFailed;
      // Only a connection that broke is asked again; one that fell silent keeps
      // its read time-out and fails as before.
      broken = !cancelRequested(session) && pipe.hasError();
      break;
    }
    if (session.dataArrived) {
      session.dataArrived();
    }
    const ImageStreamParser::Status status = parser.received(received);
    if (handedSoFar != nullptr && session.progress != nullptr) {
      session.progress->update(*handedSoFar + parser.handedBytes(), target.ledger().completedBytes());
    }
    if (status == ImageStreamParser::Status::needMore) {
      continue;
    }
    outcome.result = status == ImageStreamParser::Status::done          ? downloadOk
                     : status == ImageStreamParser::Status::writeFailed ? downloadWriteFailed
                                                                        : downloadStreamFailed;
    break;
  }
  // Blocks handed over before a failure belong on the target as much as
  // those before success; only a failed write leaves the gathered rest out.
  // The parser's buffers are still there while this waits for the writes.
  if (!writer.finish() && outcome.result != downloadWriteFailed) {
    outcome.result = downloadWriteFailed;
    broken = false;
  }
  if (outcome.result == downloadWriteFailed) {
    logLine(writer.error());
  }
  outcome.dataArrived = parser.dataArrived();
  if (handedSoFar != nullptr) {
    *handedSoFar += parser.handedBytes();
  }
  if (broken) {
    outcome.resumeAt = parser.resumePosition();
  }
  return outcome;
}

// Waits `duration` in short slices; false as soon as a cancel is noticed.
bool waitUnlessCancelled(const DownloadSession& session, std::chrono::milliseconds duration) {
  constexpr std::chrono::milliseconds slice(250);
  for (auto left = duration; left.count() > 0; left -= slice) {
    if (cancelRequested(session)) {
      return false;
    }
    pauseFor(std::min(left, slice));
  }
  return !cancelRequested(session);
}

// Connects, asks for the image (from `offset` unless it is -1) and reads the
// size that opens the reply. Null, with `result` set, when that failed.
PipePtr requestImage(const std::string& request, int* result, int64_t* size, const Stop& stop) {
  int err = 0;
  PipePtr pipe(connectToService(&err));
  if (!pipe) {
    *result = downloadNoConnection;
    return nullptr;
  }
  CTCPStack tcpstack(false, CTCPStack::defaultMaxPacketSize);
  // A failed send shows up as a missing size.
  tcpstack.Send(pipe.get(), request, 10000, true);
  if (!readImageSize(*pipe, size, stop)) {
    *result = downloadStreamFailed;
    return nullptr;
  }
  return pipe;
}

// A broken stream is asked again from where the durable blocks end, a few
// times within a bounded span, so that a short network cut costs seconds
// instead of the whole restore.
constexpr int resumeAttempts = 5;
constexpr std::chrono::seconds resumeSpan(120);
constexpr std::chrono::milliseconds firstResumeWait(1000);

// One line per verified download, so that the log shows what the check
// costs next to the write.
void logReadBack(const blockdev::PartitionWrite& target) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", target.readBackTime().count());
  logLine("Read back and compared " + std::to_string(target.readBackBytes()) + " bytes in " + seconds + " s");
}

// Flushes, reads back, writes the held-back start and reads that back.
int commit(blockdev::PartitionWrite& target) {
  std::string error;
  if (!target.commit(error)) {
    logLine(error);
    return downloadWriteFailed;
  }
  logReadBack(target);
  return downloadOk;
}

// Receives the whole image, asking a broken stream again from where the
// durable blocks end, and commits it.
int receiveImage(PipePtr pipe, blockdev::PartitionWrite& target, int64_t size, const std::string& request,
                 const DownloadSession& session) {
  int64_t handed = 0;
  StreamOutcome outcome = receiveBlocks(*pipe, target, size, session, &handed);
  pipe.reset();
  if (!outcome.dataArrived) {
    return outcome.result;
  }
  const auto firstBreak = Clock::now();
  auto wait = firstResumeWait;
  for (int attempt = 1; outcome.resumeAt && attempt <= resumeAttempts && Clock::now() - firstBreak < resumeSpan;
       ++attempt) {
    // The resume point must hold across a crash of the service as much as
    // of the connection: what lies below it is on the device first.
    std::string error;
    if (!target.flush(error)) {
      logLine(error);
      return downloadWriteFailed;
    }
    const int64_t offset = *outcome.resumeAt;
    logLine("Image download broken off; resuming at byte " + std::to_string(offset) + " (attempt " +
            std::to_string(attempt) + " of " + std::to_string(resumeAttempts) + ")");
    if (!waitUnlessCancelled(session, wait)) {
      return downloadStreamFailed;
    }
    wait *= 2;
    int result = downloadOk;
    int64_t resumedSize = -1;
    PipePtr resumed = requestImage(request + "&offset=" + std::to_string(offset), &result, &resumedSize,
                                   session.cancelled);
    if (!resumed) {
      if (cancelRequested(session)) {
        return downloadStreamFailed;
      }
      continue;  // the same point is tried again
    }
    if (resumedSize != size) {
      logLine("Resumed image download announced " + std::to_string(resumedSize) + " bytes instead of " +
              std::to_string(size));
      return downloadStreamFailed;
    }
    StreamOutcome next = receiveBlocks(*resumed, target, size, session, &handed);
    if (next.resumeAt && *next.resumeAt < offset) {
      next.resumeAt = offset;  // a resumed stream that brought no block
    }
    outcome = next;
  }
  if (outcome.result != downloadOk) {
    return outcome.result;
  }
  return commit(target);
}

// Publishes the durable share of one image download while it runs.
class Published {
public:
  explicit Published(DurableProgressObserver* progress) : progress_(progress) {
    if (progress_ != nullptr) {
      progress_->begin();
    }
  }
  ~Published() {
    if (progress_ != nullptr) {
      progress_->end();
    }
  }
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

private:
  DurableProgressObserver* progress_;
};

}  // namespace

int runImageDownload(const DownloadSession& session, int img_id, const std::string& img_time,
                     const std::string& outfile, bool mbr, int64_t offset, int64_t* out_imgsize,
                     int64_t* out_targetsize) {
  std::string request = "DOWNLOAD IMAGE#pw=" + readServicePassword() + "&img_id=" + std::to_string(img_id) +
                        "&time=" + img_time + "&mbr=" + (mbr ? "true" : "false");
  int err = 0;
  PipePtr pipe(connectToService(&err));
  if (!pipe) {
    return downloadNoConnection;
  }
  const std::string firstRequest = offset != -1 ? request + "&offset=" + std::to_string(offset) : request;
  CTCPStack tcpstack(false, CTCPStack::defaultMaxPacketSize);
  // A failed send shows up as a missing size.
  tcpstack.Send(pipe.get(), firstRequest, 10000, true);

  // A record goes into a file as it comes; an image onto the one open
  // device (or file sized beforehand) that every step of its write uses.
  std::unique_ptr<File> record;
  blockdev::BlockDevice device;
  std::string error;
  if (mbr) {
    record.reset(Server::openFile(outfile, File::readWriteUncached));
    if (!record) {
      logLine(systemError("cannot open " + outfile));
      return downloadCannotOpenTarget;
    }
  } else if (!device.open(outfile, blockdev::DeviceKind::ImageTarget, error)) {
    logLine(error);
    return downloadCannotOpenTarget;
  }
  const int64_t targetSize = mbr ? record->Size() : static_cast<int64_t>(device.size());
  if (out_targetsize != nullptr) {
    *out_targetsize = targetSize;
  }
  int64_t imageSize = -1;
  const bool sizeArrived = readImageSize(*pipe, &imageSize, neverStop);
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
    return receiveRecord(*pipe, *record, imageSize);
  }
  if (targetSize < imageSize) {
    return downloadTargetTooSmall;
  }
  if (imageSize == 0) {
    return downloadOk;
  }
  // A caller that chose its own offset writes the rest of an image whose
  // start is already there, and handles its own resumes.
  const bool whole = offset == -1;
  blockdev::PartitionWrite target(std::move(device));
  if (!target.begin(static_cast<uint64_t>(imageSize),
                    whole ? blockdev::PartitionWrite::From::start : blockdev::PartitionWrite::From::resumed, error)) {
    logLine(error);
    return downloadWriteFailed;
  }
  if (!whole) {
    const StreamOutcome outcome = receiveBlocks(*pipe, target, imageSize, session, nullptr);
    return outcome.result != downloadOk ? outcome.result : commit(target);
  }
  const Published published(session.progress);
  return receiveImage(std::move(pipe), target, imageSize, request, session);
}
