#pragma once
// A misbehaving peer on the backup service's port 127.0.0.1:35623, for tests
// that hold the "ports" lock. Every accepted connection runs the behaviour on
// a thread of its own, so a connection that is never answered does not hold
// up the next one. The destructor ends every connection and joins.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Handlers answer through sendAll().
#include "common/loopback.h"

class HostileService {
public:
  // `stopping` turns true when the test is over; a behaviour that holds its
  // connection open polls it.
  using Behaviour = std::function<void(int socket, const std::atomic<bool>& stopping)>;

  explicit HostileService(Behaviour behaviour);
  ~HostileService();
  HostileService(const HostileService&) = delete;
  HostileService& operator=(const HostileService&) = delete;

  bool listening() const { return listener_ >= 0; }
  int connections() const { return accepted_.load(); }

  // The framed request of the connection (4-byte little-endian length, then
  // the text); empty when it does not arrive whole within `timeout`.
  static std::string readRequest(int socket, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // A frame header announcing `length` bytes, without the bytes.
  static std::string lengthField(uint32_t length);
  static std::string frame(const std::string& payload);
  static std::string int64Field(int64_t value);
  // The close after the behaviour sends a reset instead of an orderly end.
  static void resetOnClose(int socket);
  // Keeps the connection open until the peer leaves or the test ends.
  static void holdOpen(int socket, const std::atomic<bool>& stopping);

private:
  void serve();

  Behaviour behaviour_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::vector<std::thread> handlers_;
  std::set<int> open_;
  std::thread thread_;
};
