#include "protocol/fake_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "common/loopback.h"

namespace {

bool readExactly(int socket, char* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(socket, buffer + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

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
    pollfd entry{listener_, POLLIN, 0};
    if (::poll(&entry, 1, 50) <= 0) continue;
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) continue;
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char header[4];
    if (readExactly(socket, header, sizeof header)) {
      uint32_t length = 0;
      for (size_t i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(header[i])) << (8 * i);
      std::string request(length, '\0');
      if (readExactly(socket, request.data(), length)) {
        {
          const std::lock_guard lock(mutex_);
          requests_.push_back(request);
        }
        handler_(request, socket);
      }
    }
    ::close(socket);
  }
}

void FakeBackupService::sendAll(int socket, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
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
