#pragma once
// A stand-in for the backup service on 127.0.0.1:35623, for tests that hold
// the "ports" lock. Each connection carries one framed request; the handler
// answers on the socket, which is closed when the handler returns.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Handlers answer through sendAll().
#include "common/loopback.h"

class FakeBackupService {
public:
  using Handler = std::function<void(const std::string& request, int socket)>;

  explicit FakeBackupService(Handler handler);
  ~FakeBackupService();
  FakeBackupService(const FakeBackupService&) = delete;
  FakeBackupService& operator=(const FakeBackupService&) = delete;

  // False when the port could not be taken (then every request gets err 10).
  bool listening() const { return listener_ >= 0; }
  std::vector<std::string> requests() const;

  static void sendFrame(int socket, const std::string& payload);
  // Waits until the client closes its end (at most `seconds`).
  static void waitForClose(int socket, int seconds);

private:
  void serve();

  Handler handler_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// The 8-byte little-endian number of the image stream.
std::string int64Field(int64_t value);
