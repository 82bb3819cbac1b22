#include "protocol/fake_service.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

std::string int64Field(int64_t value) {
  std::string out(8, '\0');
  for (size_t i = 0; i < 8; ++i) out[i] = static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF);
  return out;
}

FakeBackupService::FakeBackupService(Handler handler) : handler_(std::move(handler)) {
  listener_ = listenOnLoopback(35623, 8);
  if (listener_ < 0) return;
  thread_ = std::thread([this] { serve(); });
}

FakeBackupService::~FakeBackupService() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
}

std::vector<std::string> FakeBackupService::requests() const {
  const std::lock_guard lock(mutex_);
  return requests_;
}

void FakeBackupService::serve() {
  while (!stop_) {
    const int socket = acceptWithin(listener_, std::chrono::milliseconds(50));
    if (socket < 0) continue;
    std::string request;
    if (receiveFrame(socket, std::chrono::seconds(10), request)) {
      {
        const std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      handler_(request, socket);
    }
    ::close(socket);
  }
}

void FakeBackupService::sendFrame(int socket, const std::string& payload) {
  std::string frame(4, '\0');
  const auto n = static_cast<uint32_t>(payload.size());
  for (size_t i = 0; i < 4; ++i) frame[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  sendAll(socket, frame + payload);
}

void FakeBackupService::waitForClose(int socket, int seconds) {
  char buffer[256];
  for (int waited = 0; waited < seconds * 10; ++waited) {
    pollfd entry{socket, POLLIN, 0};
    if (::poll(&entry, 1, 100) > 0 && ::recv(socket, buffer, sizeof buffer, 0) <= 0) return;
  }
}
