// Bounds on what the endpoint holds for its peers, and the wait of an
// address that keeps giving wrong tokens (the wait itself: failure_throttle_test).
#include "control/admission.h"
#include "control/endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "common/loopback.h"

using namespace std::chrono_literals;

namespace {

Admission::Limits limits() {
  Admission::Limits l;
  l.pending = 10;
  l.pendingPerAddress = 3;
  return l;
}

TEST(Admission, PendingConnectionsAreBoundedInAllAndPerRemoteAddress) {
  const auto admission = Admission::create(limits());
  std::vector<Admission::Slot> held;
  for (int i = 0; i < 3; ++i) {
    auto slot = admission->admitPending("192.0.2.1");
    ASSERT_TRUE(slot);
    held.push_back(std::move(*slot));
  }
  EXPECT_FALSE(admission->admitPending("192.0.2.1"));
  // Another host, and this machine itself, still get in up to the total.
  for (const char* address : {"192.0.2.2", "127.0.0.1", "127.0.0.1", "127.0.0.1", "::1", "192.0.2.3", "192.0.2.3"}) {
    auto slot = admission->admitPending(address);
    ASSERT_TRUE(slot) << address;
    held.push_back(std::move(*slot));
  }
  EXPECT_FALSE(admission->admitPending("127.0.0.1"));
  EXPECT_FALSE(admission->admitPending("192.0.2.9"));

  held.front().release();
  held.front().release();  // a second release gives nothing back twice
  auto again = admission->admitPending("192.0.2.1");
  EXPECT_TRUE(again);
  EXPECT_FALSE(admission->admitPending("192.0.2.9"));
  again.reset();
  held.clear();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(admission->admitPending("192.0.2.1"));  // each released at once
  }
}

TEST(Admission, ASlotMayOutliveEveryOtherHolderOfItsAdmission) {
  // A session still holding its place when the server goes.
  std::optional<Admission::Slot> slot = Admission::create(limits())->admitPending("192.0.2.1");
  ASSERT_TRUE(slot);
  slot.reset();
}

TEST(Admission, UpgradesUnderWayCountTowardTheOpenConnections) {
  const auto admission = Admission::create(limits());
  auto first = admission->admitUpgrade(30, 32);
  auto second = admission->admitUpgrade(30, 32);
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_FALSE(admission->admitUpgrade(30, 32));
  first->release();
  EXPECT_TRUE(admission->admitUpgrade(30, 32));
}

TEST(Admission, WrongTokensCountWithWrongPasswordsOfTheSameAddress) {
  FailureThrottle failures;
  const auto admission = Admission::create(limits(), failures);
  const auto now = Admission::Clock::time_point{} + 1h;
  for (int i = 0; i < 3; ++i) {
    admission->recordWrongToken("192.0.2.1", now);
  }
  failures.recordFailure("192.0.2.1", now);  // a wrong password
  EXPECT_EQ(admission->waitFor("192.0.2.1", now), 0s);
  admission->recordWrongToken("192.0.2.1", now);
  EXPECT_EQ(admission->waitFor("192.0.2.1", now), 1s);
  EXPECT_EQ(failures.waitFor("192.0.2.1", now), 1s);
  EXPECT_EQ(admission->waitFor("192.0.2.2", now), 0s);
}

// A socket from `source` (a loopback address of its own) to the server.
int connectFrom(const std::string& source, unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

std::string statusLine(int fd) {
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string answer;
  char c = 0;
  while (answer.find("\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) {
    answer += c;
  }
  return answer.substr(0, answer.find("\r\n"));
}

TEST(AdmissionEndpoint, FortySimultaneousClientsHoldAtMostThirtyTwoConnections) {
  WsServerConfig config;
  config.port = 0;
  WsServer server(config);
  std::string error;
  ASSERT_TRUE(server.listen(error)) << error;
  server.startThread();

  std::vector<int> sockets;
  for (int i = 0; i < 40; ++i) {
    const int fd = connectFrom("127.0.1." + std::to_string(1 + i % 5), server.port());
    ASSERT_GE(fd, 0);
    sockets.push_back(fd);
  }
  const std::string upgrade =
      "GET /backend HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  for (const int fd : sockets) {
    sendAll(fd, upgrade);
  }
  int opened = 0;
  int refused = 0;
  for (const int fd : sockets) {
    const std::string status = statusLine(fd);
    opened += status == "HTTP/1.1 101 Switching Protocols";
    refused += status == "HTTP/1.1 503 Service Unavailable";
  }
  EXPECT_EQ(opened, 32);
  EXPECT_EQ(refused, 8);
  // The server adds each one once its answer is written.
  for (int i = 0; i < 200 && server.endpoint().connections().size() < 32; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(server.endpoint().connections().size(), 32u);
  for (const int fd : sockets) {
    ::close(fd);
  }
}

TEST(AdmissionEndpoint, AnOpenConnectionKnowsItsPeersAddress) {
  // The address a session's wrong passwords are counted against.
  WsServerConfig config;
  config.port = 0;
  WsServer server(config);
  std::string error;
  ASSERT_TRUE(server.listen(error)) << error;
  server.startThread();

  const int fd = connectFrom("127.0.3.9", server.port());
  ASSERT_GE(fd, 0);
  sendAll(fd,
          "GET /backend HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  EXPECT_EQ(statusLine(fd), "HTTP/1.1 101 Switching Protocols");
  for (int i = 0; i < 200 && server.endpoint().connections().empty(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  const std::vector<WsConnectionPtr> open = server.endpoint().connections();
  ASSERT_EQ(open.size(), 1u);
  FailureThrottle failures;
  for (int i = 0; i < 5; ++i) {
    failures.recordFailure(open.front()->peerAddress(), Admission::Clock::now());
  }
  EXPECT_EQ(failures.waitFor("127.0.3.9", Admission::Clock::now()), 1s) << open.front()->peerAddress();
  ::close(fd);
}

TEST(AdmissionEndpoint, IdleConnectionsFromOneRemoteAddressAreClosedBeyondTheBound) {
  WsServerConfig config;
  config.port = 0;
  config.maxPending = 20;
  // Loopback counts toward the total only: the total bounds these.
  WsServer server(config);
  std::string error;
  ASSERT_TRUE(server.listen(error)) << error;
  server.startThread();

  std::vector<int> sockets;
  for (int i = 0; i < 30; ++i) {
    const int fd = connectFrom("127.0.2.1", server.port());
    ASSERT_GE(fd, 0);
    sockets.push_back(fd);
  }
  std::this_thread::sleep_for(500ms);
  int closed = 0;
  for (const int fd : sockets) {
    pollfd p{fd, POLLIN, 0};
    closed += ::poll(&p, 1, 0) == 1;
  }
  EXPECT_EQ(closed, 10);
  for (const int fd : sockets) {
    ::close(fd);
  }
}

}  // namespace
