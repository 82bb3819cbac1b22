#pragma once
// Progress of the image-mode downloads running in this service, for
// "GET DOWNLOAD PROGRESS". When several run, the one started last is reported.
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

class DownloadProgress {
public:
  class Ticket {
  public:
    Ticket(DownloadProgress& owner, uint64_t serial) : owner_(owner), serial_(serial) {}
    ~Ticket() { owner_.finish(serial_); }
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    void update(int64_t done) { owner_.update(serial_, done); }

  private:
    DownloadProgress& owner_;
    uint64_t serial_;
  };

  // `total` counts whatever unit the caller reports with update().
  Ticket start(int64_t total);
  // "0".."100", or "-1" while no image-mode download runs.
  std::string percentText();

private:
  struct Running {
    uint64_t serial;
    int64_t total;
    int64_t done;
  };
  void update(uint64_t serial, int64_t done);
  void finish(uint64_t serial);

  std::mutex lock_;
  std::list<Running> running_;
  uint64_t next_serial_ = 1;
};
