#include "common/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopbackAddress(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool receiveBefore(int socket, char* buffer, size_t size, Clock::time_point deadline) {
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

int listenOnLoopback(unsigned short port, int backlog) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return -1;
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = loopbackAddress(port);
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, backlog) != 0) {
    ::close(listener);
    return -1;
  }
  return listener;
}

unsigned short boundPort(int socket) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

int connectToLoopback(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = loopbackAddress(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool loopbackPortAccepts(unsigned short port) {
  const int fd = connectToLoopback(port);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

int acceptWithin(int listener, std::chrono::milliseconds timeout) {
  pollfd entry{listener, POLLIN, 0};
  if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return -1;
  const int socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (socket < 0) return -1;
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return socket;
}

bool receiveFrame(int socket, std::chrono::milliseconds timeout, std::string& frame) {
  const auto deadline = Clock::now() + timeout;
  char header[4];
  if (!receiveBefore(socket, header, sizeof header, deadline)) return false;
  uint32_t length = 0;
  for (size_t i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(header[i])) << (8 * i);
  frame.assign(length, '\0');
  return receiveBefore(socket, frame.data(), length, deadline);
}

void sendAll(int socket, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}
