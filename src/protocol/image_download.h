#pragma once
// Fetching one image from the backup service onto a target file or device.
#include <cstdint>
#include <functional>
#include <string>

// Result codes of downloadImage.
enum DownloadResult : int {
  downloadOk = 0,
  downloadCannotOpenTarget = 2,
  downloadRefused = 3,
  downloadStreamFailed = 4,  // stream stopped, timed out, was corrupt, or the restore was cancelled
  downloadWriteFailed = 6,
  downloadNoConnection = 10,
  downloadTargetTooSmall = 11,
};

// Told how much of a running image download is on the device.
class DurableProgressObserver {
public:
  virtual ~DurableProgressObserver() = default;
  // An image download starts.
  virtual void begin() = 0;
  // `handed` bytes of the stream were handed to the writer, `durable` of them
  // are on the device.
  virtual void update(int64_t handed, int64_t durable) = 0;
  // It ended (flushed and verified, or failed).
  virtual void end() = 0;
};

// What a download takes from the session that runs it.
struct DownloadSession {
  // Asked before every block and while a stream is silent; true stops the
  // download as a stalled stream would. Empty: never.
  std::function<bool()> cancelled;
  // Called when data of an image stream arrives. Empty: nobody asks.
  std::function<void()> dataArrived;
  // Null: nobody follows the progress.
  DurableProgressObserver* progress = nullptr;
};

// Downloads image `img_id` of backup time `img_time` into `outfile`, which
// must exist. With `mbr` the partition-table record is written as it comes;
// otherwise the block stream is written at its positions, and 0 means the
// image is flushed to the target and read back from it. `offset` -1 sends
// none. Each output pointer may be null; the image size is -1 when it never
// arrived whole.
int runImageDownload(const DownloadSession& session, int img_id, const std::string& img_time,
                     const std::string& outfile, bool mbr, int64_t offset, int64_t* out_imgsize,
                     int64_t* out_targetsize);

// runImageDownload for the agent's session: cancelled by `cancelrestore`,
// setting `restore_retry_ok` as data arrives, and publishing its progress to
// `durableDownloadProgress`. The sixth argument is unused.
int downloadImage(int img_id, std::string img_time, std::string outfile, bool mbr, int64_t offset, int,
                  int64_t* out_imgsize, int64_t* out_targetsize);
