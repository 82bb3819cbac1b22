#include "hardening/hostile_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

bool readExactly(int socket, char* buffer, size_t size, Clock::time_point deadline) {
  size_t got = 0;
  while (got < size) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{socket, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left)) <= 0) return false;
    const ssize_t n = ::recv(socket, buffer + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

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
    pollfd entry{listener_, POLLIN, 0};
    if (::poll(&entry, 1, 50) <= 0) continue;
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) continue;
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
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
  const auto deadline = Clock::now() + timeout;
  char header[4];
  if (!readExactly(socket, header, sizeof header, deadline)) return {};
  uint32_t length = 0;
  for (size_t i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(header[i])) << (8 * i);
  std::string request(length, '\0');
  if (!readExactly(socket, request.data(), length, deadline)) return {};
  return request;
}

void HostileService::sendAll(int socket, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
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
