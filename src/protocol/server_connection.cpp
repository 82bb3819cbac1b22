#include "protocol/server_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol/stream_pipe.h"
#include "protocol/tcp_stack.h"
#include "support/log_line.h"
#include "support/text.h"

namespace {

// Waits for a non-blocking connect to finish; true once it succeeded.
bool connectFinished(int socket, unsigned int timeout) {
  pollfd entry{socket, POLLOUT, 0};
  int rc = 0;
  do {
    rc = ::poll(&entry, 1, static_cast<int>(timeout));
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) {
    return false;
  }
  int error = 0;
  socklen_t size = sizeof error;
  return ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

}  // namespace

const char* const pw_file = "keelback/pw.txt";

bool LookupBlocking(std::string host, in_addr* dst) {
  const in_addr_t direct = ::inet_addr(host.c_str());
  if (direct != INADDR_NONE) {
    dst->s_addr = direct;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* results = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0 || results == nullptr) {
    return false;
  }
  bool found = false;
  if (results->ai_addrlen >= sizeof(sockaddr_in)) {
    sockaddr_in address{};
    std::memcpy(&address, results->ai_addr, sizeof address);
    *dst = address.sin_addr;
    found = true;
  }
  ::freeaddrinfo(results);
  return found;
}

bool LookupHostname(const std::string& ip, std::string& hostname) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (::inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1) {
    return false;
  }
  char host[1025];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0) {
    return false;
  }
  hostname = host;
  return true;
}

namespace Server {

IPipe* ConnectStream(std::string host, unsigned short port, unsigned int timeout) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  // An unresolved name would otherwise leave 0.0.0.0, which Linux connects to
  // this machine: a wrong peer instead of a clear "no connection".
  if (!LookupBlocking(host, &address.sin_addr)) {
    return nullptr;
  }
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) {
    return nullptr;
  }
  const int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
    ::close(socket);
    return nullptr;
  }
  const int rc = ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (rc == 0 || (errno == EINPROGRESS && connectFinished(socket, timeout))) {
    return new CStreamPipe(socket);
  }
  ::close(socket);
  return nullptr;
}

}  // namespace Server

IPipe* connectToService(int* err) {
  IPipe* pipe = Server::ConnectStream("localhost", serviceport, 60000);
  if (pipe == nullptr) {
    *err = 10;
  }
  return pipe;
}

std::string readPasswordFile(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    logLine("Refusing to read " + path + ": group or others may read it; chmod 600 " + path);
    return std::string();
  }
  return getFile(path);
}

std::string readServicePassword() { return readPasswordFile(pw_file); }

std::string requestReply(const std::string& command, unsigned int connectTimeoutMs, int* err) {
  const PipePtr pipe(Server::ConnectStream("localhost", serviceport, connectTimeoutMs));
  if (!pipe) {
    *err = 10;
    return std::string();
  }
  CTCPStack tcpstack(false, CTCPStack::defaultMaxPacketSize);
  // A failed send shows up as an empty reply.
  tcpstack.Send(pipe.get(), command, 10000, true);
  return getResponse(pipe.get());
}
