#include "common/remote_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

#include "common/agent_process.h"
#include "common/loopback.h"

std::string enterNetworkWithRemotePeer() {
  if (::unshare(CLONE_NEWNET) != 0) {
    return "no network namespace of its own (needs root, and no other thread yet)";
  }
  const std::string command = std::string("ip link set lo up && ip addr add ") + remotePeerAddress + "/24 dev lo";
  if (std::system(command.c_str()) != 0) {
    return "cannot give the namespace's loopback " + std::string(remotePeerAddress);
  }
  return std::string();
}

int tcpConnectionTo(const std::string& address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(AgentProcess::port);
  if (::inet_pton(AF_INET, address.c_str(), &agent.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&agent), sizeof agent) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string httpExchange(const std::string& address, const std::string& request) {
  const int fd = tcpConnectionTo(address);
  if (fd < 0) {
    return std::string();
  }
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sendAll(fd, request);
  std::string answer;
  char buffer[4096];
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return answer;
}

std::string statusLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }
