#pragma once
// How much of the running image download is on the device. The percentage
// the backup service reports counts blocks it has sent; the percentage shown
// to the user must count only bytes written and flushed, and must not reach
// 100 before the download has been flushed and verified. The download
// publishes its figures here and the progress relay scales by them.
#include <atomic>
#include <cstdint>

class DurableProgress {
public:
  // A download starts: relayed percentages are scaled from now on.
  void begin();
  // `handed` bytes of the stream were handed to the writer, `durable` of
  // them are on the device.
  void update(int64_t handed, int64_t durable);
  // The download ended (flushed and verified, or failed).
  void end();

  // The percentage of the download on the device, for `sent` percent of the
  // stream sent: sent scaled by the durable share of what was handed over,
  // and below 100 while the download runs.
  int scale(int sent) const;

private:
  std::atomic<bool> running_{false};
  std::atomic<int64_t> handed_{0};
  std::atomic<int64_t> durable_{0};
};

extern DurableProgress durableDownloadProgress;
