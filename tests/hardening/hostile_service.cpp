#include "hardening/hostile_service.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

HostileService::HostileService(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
  listener_ = listenOnLoopback(35623, 16);
  if (listener_ < 0) return;
  thread_ = std::thread([this] { serve(); });
}

HostileService::~HostileService() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  {
    const std::lock_guard lock(mutex_);
    for (const int socket : open_) ::shutdown(socket, SHUT_RDWR);
  }
  for (std::thread& handler : handlers_) handler.join();
  if (listener_ >= 0) ::close(listener_);
}

void HostileService::serve() {
  while (!stopping_) {
    const int socket = acceptWithin(listener_, std::chrono::milliseconds(50));
    if (socket < 0) continue;
    ++accepted_;
    const std::lock_guard lock(mutex_);
    open_.insert(socket);
    handlers_.emplace_back([this, socket] {
      behaviour_(socket, stopping_);
      const std::lock_guard closing(mutex_);
      open_.erase(socket);
      ::close(socket);
    });
  }
}

std::string HostileService::readRequest(int socket, std::chrono::milliseconds timeout) {
  std::string request;
  return receiveFrame(socket, timeout, request) ? request : std::string();
}

std::string HostileService::lengthField(uint32_t length) {
  std::string field(4, '\0');
  for (size_t i = 0; i < 4; ++i) field[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return field;
}

std::string HostileService::frame(const std::string& payload) {
  return lengthField(static_cast<uint32_t>(payload.size())) + payload;
}

std::string HostileService::int64Field(int64_t value) {
  std::string field(8, '\0');
  for (size_t i = 0; i < 8; ++i) field[i] = static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF);
  return field;
}

void HostileService::resetOnClose(int socket) {
  const linger reset{1, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

void HostileService::holdOpen(int socket, const std::atomic<bool>& stopping) {
  char buffer[4096];
  while (!stopping) {
    pollfd entry{socket, POLLIN, 0};
    if (::poll(&entry, 1, 100) > 0 && ::recv(socket, buffer, sizeof buffer, 0) <= 0) return;
  }
}
