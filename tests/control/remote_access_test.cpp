// The real agent seen from another host. The test runs in a network namespace
// of its own, where an extra address on the loopback interface plays the
// host elsewhere on the LAN: a connection from it is not a loopback one.
#include "common/agent_process.h"
#include "common/loopback.h"
#include "common/remote_peer.h"
#include "common/temp_dir.h"
#include "common/ws_client.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class RemoteAccessTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    const std::string why = enterNetworkWithRemotePeer();
    ASSERT_TRUE(why.empty()) << why;
  }

  void SetUp() override {
    work_ = dir_.path() / "work";
    fs::create_directories(work_);
    dir_.write("work/ui/index.html", "<!doctype html><title>agent page</title>");
  }

  void startAgent(std::map<std::string, std::string> environment = {}) {
    AgentOptions options;
    options.workingDirectory = work_;
    options.environment = std::move(environment);
    options.environment.emplace("RESTORE_AGENT_TOKEN", "");
    options.environment.emplace("RESTORE_AGENT_ACCESS", "");
    agent_ = std::make_unique<AgentProcess>(options);
  }

  int upgradeStatus(const std::string& host, const std::string& path) {
    WsClient client;
    client.connect(host, AgentProcess::port, path, 5s);
    return client.handshakeStatus();
  }

  TempDir dir_;
  fs::path work_;
  std::unique_ptr<AgentProcess> agent_;
};

TEST_F(RemoteAccessTest, RemotePeersNeedTheTokenFromTheFileAndLoopbackPeersDoNot) {
  startAgent();
  const fs::path file = work_ / "access-token";
  ASSERT_TRUE(fs::exists(file)) << agent_->log();
  struct stat status {};
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  std::string token = fileContent(file);
  ASSERT_FALSE(token.empty());
  ASSERT_EQ(token.back(), '\n');
  token.pop_back();
  EXPECT_GE(token.size(), 22u);

  EXPECT_EQ(upgradeStatus(remotePeerAddress, "/backend"), 401);
  EXPECT_EQ(upgradeStatus(remotePeerAddress, "/backend?token=wrong-token-of-some-length"), 401);
  EXPECT_EQ(statusLine(httpExchange(remotePeerAddress, "GET / HTTP/1.1\r\nHost: 192.0.2.10:12209\r\n\r\n")),
            "HTTP/1.1 401 Unauthorized");

  WsClient remote;
  EXPECT_TRUE(remote.connect(remotePeerAddress, AgentProcess::port, "/backend?token=" + token, 5s)) << remote.lastError();
  const std::string page =
      httpExchange(remotePeerAddress, "GET /?token=" + token + " HTTP/1.1\r\nHost: 192.0.2.10:12209\r\n\r\n");
  EXPECT_EQ(statusLine(page), "HTTP/1.1 200 OK") << page;
  EXPECT_NE(page.find("<title>agent page</title>"), std::string::npos);
  const std::string withCookie = httpExchange(
      remotePeerAddress, "GET / HTTP/1.1\r\nHost: 192.0.2.10:12209\r\nCookie: restore_agent_token=" + token + "\r\n\r\n");
  EXPECT_EQ(statusLine(withCookie), "HTTP/1.1 200 OK") << withCookie;

  WsClient local;
  EXPECT_TRUE(local.connect("127.0.0.1", AgentProcess::port, "/backend", 5s)) << local.lastError();
  EXPECT_EQ(statusLine(httpExchange("127.0.0.1", "GET / HTTP/1.1\r\nHost: 127.0.0.1:12209\r\n\r\n")),
            "HTTP/1.1 200 OK");

  // The next start keeps the token; a deleted file gives a new one.
  agent_.reset();
  startAgent();
  EXPECT_EQ(fileContent(file), token + "\n");
  agent_.reset();
  fs::remove(file);
  startAgent();
  ASSERT_TRUE(fs::exists(file));
  EXPECT_NE(fileContent(file), token + "\n");
  EXPECT_EQ(upgradeStatus(remotePeerAddress, "/backend?token=" + token), 401);
}

TEST_F(RemoteAccessTest, TheConsoleShowsTheAddressWithTheTokenUntilTheAgentStops) {
  const fs::path issue = dir_.path() / "issue.d";
  fs::create_directories(issue);
  startAgent({{"RESTORE_AGENT_ISSUE_DIR", issue.string()}});
  std::string token = fileContent(work_ / "access-token");
  token.pop_back();
  const std::string line = "Open http://192.0.2.10:12209/?token=" + token;
  EXPECT_TRUE(agent_->waitForLog(line + "\n", 5s)) << agent_->log();
  EXPECT_NE(fileContent(issue / "restore-agent.issue").find(line + "\n"), std::string::npos);

  ::kill(agent_->pid(), SIGTERM);
  for (int i = 0; i < 100 && agent_->running(); ++i) {
    ::usleep(50000);
  }
  EXPECT_FALSE(agent_->running());
  EXPECT_FALSE(fs::exists(issue / "restore-agent.issue"));
}

TEST_F(RemoteAccessTest, ATokenFileDeletedWhileTheAgentRunsIsMadeAnewAndOnlyTheNewTokenWorks) {
  const fs::path issue = dir_.path() / "issue.d";
  fs::create_directories(issue);
  startAgent({{"RESTORE_AGENT_ISSUE_DIR", issue.string()}});
  const fs::path file = work_ / "access-token";
  std::string old = fileContent(file);
  ASSERT_FALSE(old.empty()) << agent_->log();
  old.pop_back();
  ASSERT_EQ(upgradeStatus(remotePeerAddress, "/backend?token=" + old), 101);

  fs::remove(file);
  // The agent looks at the file every 5 seconds.
  std::string made;
  for (int i = 0; i < 150 && made.empty(); ++i) {
    std::this_thread::sleep_for(100ms);
    const std::string text = fileContent(file);
    if (!text.empty() && text.back() == '\n') {
      made = text.substr(0, text.size() - 1);
    }
  }
  ASSERT_FALSE(made.empty()) << "no new token file within 15 s\n" << agent_->log();
  EXPECT_NE(made, old);
  struct stat status {};
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  const std::string line = "Open http://192.0.2.10:12209/?token=" + made;
  ASSERT_TRUE(agent_->waitForLog(line + "\n", 5s)) << agent_->log();
  EXPECT_EQ(upgradeStatus(remotePeerAddress, "/backend?token=" + old), 401);
  EXPECT_EQ(statusLine(httpExchange(remotePeerAddress, "GET /?token=" + old + " HTTP/1.1\r\nHost: 192.0.2.10:12209\r\n\r\n")),
            "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(upgradeStatus(remotePeerAddress, "/backend?token=" + made), 101);
  EXPECT_EQ(upgradeStatus("127.0.0.1", "/backend"), 101);
  const std::string shown = fileContent(issue / "restore-agent.issue");
  EXPECT_NE(shown.find(line + "\n"), std::string::npos) << shown;
  EXPECT_EQ(shown.find(old), std::string::npos) << shown;
}

TEST_F(RemoteAccessTest, AHostGuessingTokensWaitsAndIdleSocketsFromItAreBounded) {
  startAgent({{"RESTORE_AGENT_TOKEN", "configured-token"}});
  const std::string wrong = "GET /?token=guess HTTP/1.1\r\nHost: 192.0.2.10:12209\r\n\r\n";
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(statusLine(httpExchange(remotePeerAddress, wrong)), "HTTP/1.1 401 Unauthorized");
  }
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(statusLine(httpExchange(remotePeerAddress, wrong)), "HTTP/1.1 401 Unauthorized");
  EXPECT_GE(std::chrono::steady_clock::now() - before, 900ms) << "the sixth guess was answered at once";
  // This machine itself is not slowed down by it.
  const auto local = std::chrono::steady_clock::now();
  EXPECT_EQ(upgradeStatus("127.0.0.1", "/backend?token=configured-token"), 101);
  EXPECT_LT(std::chrono::steady_clock::now() - local, 900ms);

  std::vector<int> idle;
  for (int i = 0; i < 100; ++i) {
    const int fd = tcpConnectionTo(remotePeerAddress);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(1s);
  int held = 0;
  for (const int fd : idle) {
    pollfd p{fd, POLLIN, 0};
    held += ::poll(&p, 1, 0) == 0;
  }
  EXPECT_LE(held, 8);
  EXPECT_GE(held, 1);
  EXPECT_EQ(upgradeStatus("127.0.0.1", "/backend?token=configured-token"), 101) << "the agent stopped serving";
  for (const int fd : idle) {
    ::close(fd);
  }
}

TEST_F(RemoteAccessTest, OpenAccessLetsRemotePeersInAndSaysSo) {
  startAgent({{"RESTORE_AGENT_ACCESS", "open"}});
  EXPECT_TRUE(agent_->waitForLog("any host on the network may control the agent", 5s)) << agent_->log();
  EXPECT_NE(agent_->log().find("open"), std::string::npos);
  EXPECT_FALSE(fs::exists(work_ / "access-token"));
  WsClient remote;
  EXPECT_TRUE(remote.connect(remotePeerAddress, AgentProcess::port, "/backend", 5s)) << remote.lastError();
}

TEST_F(RemoteAccessTest, AConfiguredTokenWinsOverTheFile) {
  dir_.write("work/access-token", "kept-token-of-enough-length-0123\n");
  ::chmod((work_ / "access-token").c_str(), 0600);
  startAgent({{"RESTORE_AGENT_TOKEN", "configured-token"}});
  EXPECT_EQ(upgradeStatus(remotePeerAddress, "/backend?token=kept-token-of-enough-length-0123"), 401);
  EXPECT_EQ(upgradeStatus(remotePeerAddress, "/backend?token=configured-token"), 101);
}

TEST_F(RemoteAccessTest, ForeignOriginsAreRefusedEvenWithTheToken) {
  startAgent({{"RESTORE_AGENT_TOKEN", "configured-token"}});
  const std::string upgrade =
      "GET /backend?token=configured-token HTTP/1.1\r\nHost: 192.0.2.10:12209\r\nUpgrade: websocket\r\n"
      "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  EXPECT_EQ(statusLine(httpExchange(remotePeerAddress, upgrade + "Origin: http://127.0.0.1:8888\r\n\r\n")),
            "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(statusLine(httpExchange("127.0.0.1", upgrade + "Origin: null\r\n\r\n")), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(statusLine(httpExchange(remotePeerAddress, upgrade + "Origin: http://192.0.2.10:12209\r\n\r\n")),
            "HTTP/1.1 101 Switching Protocols");
}

}  // namespace
