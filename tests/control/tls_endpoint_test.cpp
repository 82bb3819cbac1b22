// The real agent with a certificate: the page over https, the WebSocket over
// wss, the same access rules as without TLS, and no plain HTTP at all. The
// test runs in a network namespace of its own, where an extra address on the
// loopback interface plays a host elsewhere on the LAN.
#include "common/agent_process.h"
#include "common/loopback.h"
#include "common/remote_peer.h"
#include "common/temp_dir.h"
#include "common/tls_certificate.h"
#include "common/ws_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace beast = boost::beast;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

namespace {

// One exchange over TLS with the agent at `to` (the connection comes from
// that same address), the agent's certificate checked against `trusted`:
// what came back before the agent ended the connection, or the header of a
// 101 answer. Empty when the TLS handshake failed.
std::string tlsExchange(const std::string& to, const std::string& request, const fs::path& trusted) {
  net::io_context ioc;
  ssl::context context(ssl::context::tls_client);
  context.load_verify_file(trusted.string());
  context.set_verify_mode(ssl::verify_peer);
  beast::ssl_stream<beast::tcp_stream> stream(ioc, context);
  beast::get_lowest_layer(stream).expires_after(5s);
  std::string answer;
  char chunk[4096];
  std::function<void()> readMore = [&] {
    stream.async_read_some(net::buffer(chunk), [&](beast::error_code ec, std::size_t got) {
      answer.append(chunk, got);
      const bool switched = answer.rfind("HTTP/1.1 101", 0) == 0 && answer.find("\r\n\r\n") != std::string::npos;
      if (!ec && !switched) {
        readMore();
      }
    });
  };
  const tcp::endpoint agent(net::ip::make_address(to), AgentProcess::port);
  beast::get_lowest_layer(stream).async_connect(agent, [&](beast::error_code ec) {
    if (ec) {
      return;
    }
    stream.async_handshake(ssl::stream_base::client, [&](beast::error_code handshakeEc) {
      if (handshakeEc) {
        return;
      }
      net::async_write(stream, net::buffer(request), [&](beast::error_code writeEc, std::size_t) {
        if (!writeEc) {
          readMore();
        }
      });
    });
  });
  ioc.run();
  return answer;
}

// True once the agent has closed `fd` (end of file) within `timeout`.
bool closedByAgent(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
    return false;
  }
  char byte = 0;
  return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

class TlsEndpointTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    const std::string why = enterNetworkWithRemotePeer();
    ASSERT_TRUE(why.empty()) << why;
  }

  void SetUp() override {
    work_ = dir_.path() / "work";
    fs::create_directories(work_);
    dir_.write("work/ui/index.html", "<!doctype html><title>agent page</title>");
    dir_.write("work/get_ip.sh", "#!/bin/sh\necho '{\"interfaces\":[]}'\n");
    fs::permissions(work_ / "get_ip.sh", fs::perms::owner_all, fs::perm_options::add);
    pair_ = makeTestCertificate(dir_.path(), "agent");
  }

  std::map<std::string, std::string> environment(const std::string& certificate, const std::string& key) const {
    return {{"RESTORE_AGENT_TOKEN", ""},
            {"RESTORE_AGENT_ACCESS", ""},
            {"RESTORE_AGENT_TLS_CERT", certificate},
            {"RESTORE_AGENT_TLS_KEY", key}};
  }

  void startAgent() {
    AgentOptions options;
    options.workingDirectory = work_;
    options.environment = environment(pair_.certificate.string(), pair_.key.string());
    agent_ = std::make_unique<AgentProcess>(options);
  }

  std::string token() const {
    std::string text = fileContent(work_ / "access-token");
    if (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    return text;
  }

  // Runs the agent until it ends by itself (at most 10 s, then it is killed)
  // and gives its exit status, -1 when it had to be killed.
  int runUntilExit(const std::map<std::string, std::string>& overrides, std::string& log) const {
    AgentOptions options;
    options.workingDirectory = work_;
    options.environment = overrides;
    options.logFile = work_ / "failed-start.log";
    return AgentProcess::runUntilExit(options, 10s, log);
  }

  TempDir dir_;
  fs::path work_;
  TestCertificate pair_;
  std::unique_ptr<AgentProcess> agent_;
};

TEST_F(TlsEndpointTest, ThePageAndTheWebSocketWorkOverTlsUnderTheSameAccessRules) {
  startAgent();
  const std::string key = token();
  ASSERT_FALSE(key.empty()) << agent_->log();
  EXPECT_TRUE(agent_->waitForLog("Open https://192.0.2.10:12209/?token=" + key + "\n", 5s)) << agent_->log();
  EXPECT_EQ(agent_->countInLog("Open http://"), 0u) << agent_->log();

  const std::string page =
      tlsExchange("127.0.0.1", "GET / HTTP/1.1\r\nHost: 127.0.0.1:12209\r\n\r\n", pair_.certificate);
  EXPECT_EQ(statusLine(page), "HTTP/1.1 200 OK") << page;
  EXPECT_NE(page.find("<title>agent page</title>"), std::string::npos) << page;

  WsClient local;
  local.useTls(pair_.certificate);
  ASSERT_TRUE(local.connect("127.0.0.1", AgentProcess::port, "/backend", 5s)) << local.lastError();
  ASSERT_TRUE(local.sendText(R"({"op":"config_network"})"));
  const std::optional<std::string> reply = local.receiveText(10s);
  ASSERT_TRUE(reply) << local.lastError() << "\n" << agent_->log();
  EXPECT_NE(reply->find("config_network"), std::string::npos) << *reply;

  // A host elsewhere still needs the token, and the page it loaded over https
  // may open the WebSocket.
  WsClient stranger;
  stranger.useTls(pair_.certificate);
  EXPECT_FALSE(stranger.connect(remotePeerAddress, AgentProcess::port, "/backend", 5s));
  EXPECT_EQ(stranger.handshakeStatus(), 401);
  WsClient remote;
  remote.useTls(pair_.certificate);
  EXPECT_TRUE(remote.connect(remotePeerAddress, AgentProcess::port, "/backend?token=" + key, 5s)) << remote.lastError();
  const std::string upgrade = "GET /backend?token=" + key +
                              " HTTP/1.1\r\nHost: 192.0.2.10:12209\r\nUpgrade: websocket\r\n"
                              "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  EXPECT_EQ(statusLine(tlsExchange(remotePeerAddress, upgrade + "Origin: https://192.0.2.10:12209\r\n\r\n",
                                   pair_.certificate)),
            "HTTP/1.1 101 Switching Protocols");
  EXPECT_EQ(statusLine(tlsExchange(remotePeerAddress, upgrade + "Origin: https://elsewhere.example:12209\r\n\r\n",
                                   pair_.certificate)),
            "HTTP/1.1 403 Forbidden");
}

TEST_F(TlsEndpointTest, PlainHttpOnTheTlsPortGetsNothing) {
  startAgent();
  const std::string answer = httpExchange("127.0.0.1", "GET / HTTP/1.1\r\nHost: 127.0.0.1:12209\r\n\r\n");
  EXPECT_NE(answer.rfind("HTTP/", 0), 0u) << answer;
  EXPECT_EQ(answer.find("agent page"), std::string::npos) << answer;
  WsClient plain;
  EXPECT_FALSE(plain.connect("127.0.0.1", AgentProcess::port, "/backend", 5s));
  EXPECT_TRUE(agent_->running());
}

TEST_F(TlsEndpointTest, ConnectionsThatNeverSayHelloHoldTheirPlacesOnlyUntilTheTimeOut) {
  startAgent();
  const std::string key = token();
  std::vector<int> idle;
  for (int i = 0; i < 8; ++i) {
    const int fd = tcpConnectionTo(remotePeerAddress);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(300ms);
  // The silent handshakes count toward that address's pending connections...
  WsClient ninth;
  ninth.useTls(pair_.certificate);
  EXPECT_FALSE(ninth.connect(remotePeerAddress, AgentProcess::port, "/backend?token=" + key, 5s));
  // ...without keeping anyone else waiting.
  WsClient local;
  local.useTls(pair_.certificate);
  EXPECT_TRUE(local.connect("127.0.0.1", AgentProcess::port, "/backend", 2s)) << local.lastError();

  for (const int fd : idle) {
    EXPECT_TRUE(closedByAgent(fd, 8s)) << "a connection without a handshake was kept open";
    ::close(fd);
  }
  WsClient later;
  later.useTls(pair_.certificate);
  EXPECT_TRUE(later.connect(remotePeerAddress, AgentProcess::port, "/backend?token=" + key, 5s)) << later.lastError();
}

TEST_F(TlsEndpointTest, AHalfOrBrokenSettingStopsTheAgentBeforeItListens) {
  const TestCertificate other = makeTestCertificate(dir_.path(), "other");
  const fs::path notPem = dir_.write("not-pem.crt", "this is no certificate\n");
  const std::string certificate = pair_.certificate.string();
  const std::string key = pair_.key.string();
  const std::map<std::string, std::map<std::string, std::string>> cases = {
      {"certificate only", environment(certificate, "")},
      {"key only", environment("", key)},
      {"key of another certificate", environment(certificate, other.key.string())},
      {"missing certificate", environment((dir_.path() / "absent.crt").string(), key)},
      {"certificate that is no PEM", environment(notPem.string(), key)},
  };
  for (const auto& [name, variables] : cases) {
    std::string log;
    const int status = runUntilExit(variables, log);
    EXPECT_GT(status, 0) << name << ": the agent did not stop by itself with a failure\n" << log;
    EXPECT_NE(log.find("Error: "), std::string::npos) << name << "\n" << log;
    EXPECT_NE(log.find("TLS"), std::string::npos) << name << "\n" << log;
    EXPECT_EQ(log.find("Open http"), std::string::npos) << name << ": it went on without TLS\n" << log;
    EXPECT_FALSE(loopbackPortAccepts(AgentProcess::port)) << name;
  }
}

}  // namespace
