#include "hardening/raw_websocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kMask[4] = {0x37, 0x7a, 0x12, 0x5c};

}  // namespace

RawWebSocket::~RawWebSocket() { close(); }

bool RawWebSocket::connect(unsigned short port) {
  fd_ = connectToLoopback(port);
  if (fd_ < 0) return false;
  const int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

bool RawWebSocket::send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    pollfd entry{fd_, POLLOUT, 0};
    if (::poll(&entry, 1, 10000) <= 0) return false;
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool RawWebSocket::handshake(const std::string& path) {
  if (!send(upgradeRequest(path))) return false;
  std::string answer;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (answer.find("\r\n\r\n") == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd entry{fd_, POLLIN, 0};
    if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[1024];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    answer.append(buffer, static_cast<size_t>(n));
  }
  const size_t end = answer.find("\r\n\r\n") + 4;
  received_ = answer.substr(end);
  return answer.starts_with("HTTP/1.1 101");
}

bool RawWebSocket::waitClosedByServer(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
    if (n > 0) received_.append(buffer, static_cast<size_t>(n));
  }
}

std::optional<int> RawWebSocket::closeCode() const {
  size_t at = 0;
  while (at + 2 <= received_.size()) {
    const auto byte = [this](size_t i) { return static_cast<unsigned char>(received_[i]); };
    const int opcode = byte(at) & 0x0F;
    uint64_t length = byte(at + 1) & 0x7F;
    size_t headerSize = 2;
    if (length == 126) {
      if (at + 4 > received_.size()) return std::nullopt;
      length = (uint64_t{byte(at + 2)} << 8) | byte(at + 3);
      headerSize = 4;
    } else if (length == 127) {
      if (at + 10 > received_.size()) return std::nullopt;
      length = 0;
      for (size_t i = 0; i < 8; ++i) length = (length << 8) | byte(at + 2 + i);
      headerSize = 10;
    }
    if (at + headerSize + length > received_.size()) return std::nullopt;
    if (opcode == 0x8) {
      if (length < 2) return 1005;  // a close frame without a code
      return (byte(at + headerSize) << 8) | byte(at + headerSize + 1);
    }
    at += headerSize + length;
  }
  return std::nullopt;
}

void RawWebSocket::reset() {
  if (fd_ < 0) return;
  const linger abortive{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  close();
}

void RawWebSocket::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::string RawWebSocket::upgradeRequest(const std::string& path) {
  return "GET " + path +
         " HTTP/1.1\r\n"
         "Host: 127.0.0.1:12209\r\n"
         "Upgrade: websocket\r\n"
         "Connection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
         "Sec-WebSocket-Version: 13\r\n"
         "\r\n";
}

std::string RawWebSocket::header(uint8_t opcode, uint64_t length, bool fin) {
  std::string bytes;
  bytes += static_cast<char>((fin ? 0x80 : 0x00) | (opcode & 0x0F));
  if (length < 126) {
    bytes += static_cast<char>(0x80 | length);
  } else if (length <= 0xFFFF) {
    bytes += static_cast<char>(0x80 | 126);
    bytes += static_cast<char>((length >> 8) & 0xFF);
    bytes += static_cast<char>(length & 0xFF);
  } else {
    bytes += static_cast<char>(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>((length >> shift) & 0xFF);
  }
  bytes.append(kMask, sizeof kMask);
  return bytes;
}

std::string RawWebSocket::frame(uint8_t opcode, const std::string& payload, bool fin, bool masked, uint8_t rsv) {
  std::string bytes = header(opcode, payload.size(), fin);
  bytes[0] = static_cast<char>(static_cast<unsigned char>(bytes[0]) | ((rsv & 0x07) << 4));
  if (!masked) {
    bytes[1] = static_cast<char>(static_cast<unsigned char>(bytes[1]) & 0x7F);
    bytes.resize(bytes.size() - sizeof kMask);
    return bytes + payload;
  }
  for (size_t i = 0; i < payload.size(); ++i) bytes += static_cast<char>(payload[i] ^ kMask[i % 4]);
  return bytes;
}
