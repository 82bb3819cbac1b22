// The endpoint's answers before any WebSocket handshake, over real sockets:
// the page's files with their protective headers, and refusals that never let
// a connection open.
#include "control/endpoint.h"

#include "common/loopback.h"
#include "common/temp_dir.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Sends `request` and reads until the server ends the connection (it ends
// every plain HTTP exchange) or, for an accepted upgrade, until the header.
std::string exchange(unsigned short port, const std::string& request) {
  const int fd = connectToLoopback(port);
  if (fd < 0) {
    return std::string();
  }
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sendAll(fd, request);
  std::string answer;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      break;
    }
    answer.append(buffer, static_cast<std::size_t>(got));
    if (answer.rfind("HTTP/1.1 101", 0) == 0 && answer.find("\r\n\r\n") != std::string::npos) {
      break;
    }
  }
  ::close(fd);
  return answer;
}

std::string upgrade(const std::string& target, const std::string& extraHeaders) {
  return "GET " + target +
         " HTTP/1.1\r\nHost: 127.0.0.1:12209\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
         extraHeaders + "\r\n";
}

std::string get(const std::string& method, const std::string& target, const std::string& extraHeaders = "") {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:12209\r\n" + extraHeaders + "\r\n";
}

int statusOf(const std::string& answer) {
  return answer.size() > 12 ? std::stoi(answer.substr(9, 3)) : 0;
}

std::string bodyOf(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

class HttpGateTest : public ::testing::Test {
protected:
  void start(const std::string& token, bool withPage = true) {
    dir.write("ui/index.html", "<!doctype html><title>restore</title>");
    dir.write("ui/app.js", "export const x = 1;");
    WsServerConfig config;
    config.port = 0;
    config.handshakeTimeout = 2s;
    config.gate.access = [token](const AccessRequest& request) {
      AccessPolicy policy;
      policy.token = token;
      policy.ownAddresses = {"127.0.0.1"};
      return judgeAccess(policy, request);
    };
    if (withPage) {
      config.gate.pageRoot = dir.path() / "ui";
    }
    server.emplace(config);
    server->endpoint().on_open = [this](const WsConnectionPtr&) { ++opened; };
    std::string error;
    ASSERT_TRUE(server->listen(error)) << error;
    server->startThread();
  }

  unsigned short port() { return server->port(); }

  std::atomic<int> opened{0};
  TempDir dir;
  std::optional<WsServer> server;
};

TEST_F(HttpGateTest, ServesThePageWithHeadersThatKeepOtherSitesOut) {
  start("");
  const std::string page = exchange(port(), get("GET", "/"));
  EXPECT_EQ(statusOf(page), 200);
  EXPECT_EQ(bodyOf(page), "<!doctype html><title>restore</title>");
  EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
  EXPECT_NE(page.find("frame-ancestors 'none'"), std::string::npos);
  EXPECT_NE(page.find("X-Frame-Options: DENY"), std::string::npos);

  const std::string head = exchange(port(), get("HEAD", "/app.js"));
  EXPECT_EQ(statusOf(head), 200);
  EXPECT_NE(head.find("Content-Length: 19"), std::string::npos) << head;
  EXPECT_EQ(bodyOf(head), "");

  EXPECT_EQ(statusOf(exchange(port(), get("POST", "/", "Content-Length: 0\r\n"))), 405);
  EXPECT_EQ(statusOf(exchange(port(), get("GET", "/%2e%2e/ui/index.html"))), 400);
  EXPECT_EQ(statusOf(exchange(port(), get("GET", "/nothing.js"))), 404);
  EXPECT_EQ(statusOf(exchange(port(), get("GET", "/backend"))), 400);
  EXPECT_EQ(statusOf(exchange(port(), upgrade("/", ""))), 404);
  EXPECT_EQ(statusOf(exchange(port(), upgrade("/backend", "Origin: http://127.0.0.1:12209\r\n"))), 101);
}

TEST_F(HttpGateTest, WithoutThePageFolderOnlyTheWebSocketPathAnswers) {
  start("", false);
  EXPECT_EQ(statusOf(exchange(port(), get("GET", "/"))), 404);
  EXPECT_EQ(statusOf(exchange(port(), upgrade("/backend", ""))), 101);
}

TEST_F(HttpGateTest, RefusedCallersNeverOpenAConnection) {
  start("");
  EXPECT_EQ(statusOf(exchange(port(), upgrade("/backend", "Origin: https://evil.example.com\r\n"))), 403);
  EXPECT_EQ(statusOf(exchange(port(), "GET / HTTP/1.1\r\nHost: evil.example.com\r\n\r\n")), 403);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(opened.load(), 0);
}

TEST_F(HttpGateTest, TheTokenFromThePageAddressCarriesOverAsACookie) {
  start("t0k3n");
  EXPECT_EQ(statusOf(exchange(port(), get("GET", "/"))), 401);
  EXPECT_EQ(statusOf(exchange(port(), upgrade("/backend", ""))), 401);

  const std::string page = exchange(port(), get("GET", "/?token=t0k3n"));
  EXPECT_EQ(statusOf(page), 200);
  EXPECT_NE(page.find("Set-Cookie: restore_agent_token=t0k3n; Path=/; HttpOnly; SameSite=Strict"),
            std::string::npos)
      << page;
  EXPECT_EQ(statusOf(exchange(port(), get("GET", "/app.js", "Cookie: restore_agent_token=t0k3n\r\n"))), 200);
  EXPECT_EQ(statusOf(exchange(port(), upgrade("/backend", "Cookie: restore_agent_token=t0k3n\r\n"))), 101);
  EXPECT_EQ(statusOf(exchange(port(), upgrade("/backend?token=t0k3n", ""))), 101);
}

}  // namespace
