// The real restore-agent program, started in a scratch working directory with
// recording stand-ins for reboot and shutdown first on its PATH and a fixed
// ./get_ip.sh.
#include "common/agent_process.h"
#include "common/loopback.h"
#include "common/temp_dir.h"
#include "common/ws_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string kNetworkAnswer = R"({"interfaces":[{"name":"eth0","ipv4":["10.0.0.5/24"]}]})";

Json::Value parse(const std::string& text) {
  Json::Value value;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text;
  return value;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class AgentTest : public ::testing::Test {
protected:
  void SetUp() override {
    work_ = dir_.path() / "work";
    bin_ = dir_.path() / "bin";
    calls_ = dir_.path() / "calls";
    fs::create_directories(work_);
    const std::string record = "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> '" + calls_.string() + "'\n";
    writeScript(bin_ / "reboot", record);
    writeScript(bin_ / "shutdown", record);
    writeNetworkScript("echo '" + kNetworkAnswer + "'\necho 'a second line'\n");
  }

  void writeScript(const fs::path& path, const std::string& body) {
    dir_.write(fs::relative(path, dir_.path()).string(), body);
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
  }

  void writeNetworkScript(const std::string& body) { writeScript(work_ / "get_ip.sh", "#!/bin/sh\n" + body); }

  void startAgent(std::map<std::string, std::string> environment = {}) {
    AgentOptions options;
    options.workingDirectory = work_;
    options.pathPrefix = bin_.string();
    options.environment = std::move(environment);
    agent_ = std::make_unique<AgentProcess>(options);
  }

  void connect(WsClient& client) {
    ASSERT_TRUE(client.connect("127.0.0.1", AgentProcess::port, "/backend", 5s)) << client.lastError();
  }

  // Identities of the connections in the order they opened.
  std::vector<std::string> openedConnections() const {
    static const std::regex opened("Server: Opened connection (0x[0-9a-f]+)\n");
    const std::string log = agent_->log();
    std::vector<std::string> ids;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), opened); it != std::sregex_iterator(); ++it) {
      ids.push_back((*it)[1]);
    }
    return ids;
  }

  static std::string received(const std::string& text) { return "Server: Message received: \"" + text + "\" from "; }

  std::string calls() const { return readFile(calls_); }

  TempDir dir_;
  fs::path work_;
  fs::path bin_;
  fs::path calls_;
  std::unique_ptr<AgentProcess> agent_;
};

TEST_F(AgentTest, RebootAndShutdownRunThroughTheShellAndOtherCasesAreForwarded) {
  startAgent();
  WsClient client;
  connect(client);
  ASSERT_TRUE(client.sendText(R"({"op":"REBOOT"})"));
  ASSERT_TRUE(client.sendText(R"({"op":"reboot"})"));
  ASSERT_TRUE(client.sendText(R"({"op":"shutdown"})"));
  // Handlers run one at a time, so once this one is logged the others are done.
  ASSERT_TRUE(client.sendText(R"({"op":"marker"})"));
  ASSERT_TRUE(agent_->waitForLog(received(R"({"op":"marker"})"), 10s)) << agent_->log();

  EXPECT_EQ(calls(), "reboot \nshutdown -h now\n");
  EXPECT_TRUE(agent_->running());
  EXPECT_NE(agent_->log().find("parsing success \nREBOOT\n"), std::string::npos);
}

TEST_F(AgentTest, ConfigNetworkAnswersWithTheScriptsFirstLine) {
  startAgent();
  WsClient client;
  connect(client);
  ASSERT_TRUE(client.sendText(R"({"op":"config_network"})"));
  const auto reply = client.receiveText(10s);
  ASSERT_TRUE(reply) << agent_->log();
  const Json::Value answer = parse(*reply);
  EXPECT_EQ(answer["op"], "config_network");
  EXPECT_EQ(answer["Result"], parse(kNetworkAnswer));

  const std::string log = agent_->log();
  const auto ids = openedConnections();
  ASSERT_EQ(ids.size(), 1u) << log;
  EXPECT_NE(log.find("Starting BMR Server....\n"), std::string::npos);
  EXPECT_NE(log.find(received(R"({"op":"config_network"})") + ids[0] + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Calling Configuring network...\nCalling Configure Network\nIp returned is " + kNetworkAnswer + "\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Server: Sending message \"" + *reply + "\" to " + ids[0] + "\n"), std::string::npos) << log;

  client.close();
  EXPECT_TRUE(agent_->waitForLog("Server: Closed connection " + ids[0] + " with status code 1000\n", 5s));
}

TEST_F(AgentTest, TextThatIsNotJsonIsForwardedWithoutAnAnswer) {
  startAgent();
  WsClient client;
  connect(client);
  ASSERT_TRUE(client.sendText("abc"));
  ASSERT_TRUE(client.sendText(R"({"op":"config_network"})"));
  const auto reply = client.receiveText(10s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(parse(*reply)["op"], "config_network");

  // "abc" runs nothing: no operation is parsed out of it before the next
  // message is taken (with no session running it is only dropped).
  const std::string log = agent_->log();
  const auto abc = log.find(received(R"((3 bytes, not a JSON object with a text "op"))"));
  ASSERT_NE(abc, std::string::npos) << log;
  const auto next = log.find("Server: Message received: ", abc + 1);
  ASSERT_NE(next, std::string::npos) << log;
  EXPECT_EQ(log.substr(abc, next - abc).find("parsing success"), std::string::npos) << log;
}

TEST_F(AgentTest, DisableSshLogsAroundTheStopCommand) {
  if (fs::exists("/etc/init.d/ssh")) {
    GTEST_SKIP() << "this machine has an ssh service that the test must not stop";
  }
  startAgent();
  WsClient client;
  connect(client);
  ASSERT_TRUE(client.sendText(R"({"op":"disable-ssh"})"));
  EXPECT_TRUE(agent_->waitForLog("Calling disabling ssh\n", 10s));
  EXPECT_TRUE(agent_->waitForLog("Disabled ssh\n", 10s));
  EXPECT_TRUE(agent_->running());
}

TEST_F(AgentTest, OtherPathsAreRefused) {
  startAgent();
  WsClient refused;
  EXPECT_FALSE(refused.connect("127.0.0.1", AgentProcess::port, "/other", 5s));
  EXPECT_EQ(refused.handshakeStatus(), 404);

  WsClient client;
  connect(client);
  ASSERT_TRUE(client.sendText(R"({"op":"config_network"})"));
  EXPECT_TRUE(client.receiveText(10s));
  EXPECT_EQ(openedConnections().size(), 1u);
}

TEST_F(AgentTest, ASecondInitAsksTheRunningSessionToStartOver) {
  startAgent();
  WsClient client;
  connect(client);
  ASSERT_TRUE(client.sendText(R"({"op":"init"})"));
  ASSERT_TRUE(agent_->waitForLog("Restoring from External Server\n", 10s));
  EXPECT_EQ(agent_->countInLog("asking it to start over"), 0u);

  ASSERT_TRUE(client.sendText(R"({"op":"init","mode":"BMR_SERVER"})"));
  ASSERT_TRUE(agent_->waitForLog("Restoring from BMR Server\n", 10s)) << agent_->log();
  const std::string log = agent_->log();
  const auto startOver = log.find("A restore session is running; asking it to start over\n");
  ASSERT_NE(startOver, std::string::npos) << log;
  EXPECT_LT(startOver, log.find("Restoring from BMR Server\n"));
  EXPECT_TRUE(agent_->running());
}

TEST_F(AgentTest, AReplyQueuedWhileNoClientIsConnectedReachesTheNextClient) {
  startAgent();
  // The agent checks for a first client every two seconds and only then starts
  // sending; this client comes and goes well inside that window, leaving its
  // reply queued with nobody connected.
  std::this_thread::sleep_for(200ms);
  {
    WsClient early;
    connect(early);
    ASSERT_TRUE(early.sendText(R"({"op":"config_network"})"));
    ASSERT_TRUE(agent_->waitForLog("Ip returned is ", 5s));
    early.close();
    ASSERT_TRUE(agent_->waitForLog("Server: Closed connection ", 5s));
  }
  ASSERT_EQ(agent_->countInLog("Server: Sending message"), 0u) << "the reply went out before the client left";

  WsClient late;
  connect(late);
  const auto reply = late.receiveText(10s);
  ASSERT_TRUE(reply) << agent_->log();
  EXPECT_EQ(parse(*reply)["op"], "config_network");
}

TEST_F(AgentTest, WithTwoClientsEachReplyGoesToOneOfThem) {
  startAgent();
  WsClient first;
  WsClient second;
  connect(first);
  connect(second);
  ASSERT_TRUE(second.sendText(R"({"op":"config_network"})"));
  ASSERT_TRUE(second.sendText(R"({"op":"config_network"})"));

  // The oldest connection is the one that gets every reply.
  EXPECT_TRUE(first.receiveText(10s));
  EXPECT_TRUE(first.receiveText(10s));
  EXPECT_FALSE(first.receiveText(500ms));
  EXPECT_FALSE(second.receiveText(500ms));
  EXPECT_EQ(agent_->countInLog("Server: Sending message"), 2u);
}

TEST_F(AgentTest, OversizeAndBinaryMessagesEndOnlyTheirConnection) {
  startAgent();
  WsClient keeper;
  WsClient big;
  WsClient binary;
  connect(keeper);
  connect(big);
  connect(binary);
  ASSERT_TRUE(agent_->waitForLog("Server: Opened connection", 5s, 3));
  const auto ids = openedConnections();
  ASSERT_EQ(ids.size(), 3u);

  big.sendText(std::string((1u << 20) + 1, ' '));
  EXPECT_EQ(big.waitClosed(10s), 1009);
  ASSERT_TRUE(binary.sendBinary(std::string("\0\1\2", 3)));
  EXPECT_EQ(binary.waitClosed(10s), 1003);

  EXPECT_TRUE(agent_->waitForLog("Server: Error in connection " + ids[1] + ". Error: ", 5s)) << agent_->log();
  EXPECT_TRUE(agent_->waitForLog("Server: Closed connection " + ids[2] + " with status code 1003\n", 5s))
      << agent_->log();

  ASSERT_TRUE(keeper.sendText(R"({"op":"config_network"})"));
  EXPECT_TRUE(keeper.receiveText(10s));
  EXPECT_TRUE(agent_->running());
}

}  // namespace

TEST_F(AgentTest, TheAccessTokenFromTheEnvironmentGuardsThePageAndTheEndpoint) {
  dir_.write("work/ui/index.html", "<!doctype html><title>agent page</title>");
  startAgent({{"RESTORE_AGENT_TOKEN", "tok-42"}});
  // The programs the agent starts do not get the token.
  writeNetworkScript("echo \"\\\"${RESTORE_AGENT_TOKEN-not given}\\\"\"\n");

  WsClient refused;
  EXPECT_FALSE(refused.connect("127.0.0.1", AgentProcess::port, "/backend", 5s));
  EXPECT_EQ(refused.handshakeStatus(), 401);
  EXPECT_TRUE(agent_->waitForLog("Server: Refused a request from", 5s));

  WsClient client;
  ASSERT_TRUE(client.connect("127.0.0.1", AgentProcess::port, "/backend?token=tok-42", 5s)) << client.lastError();
  ASSERT_TRUE(client.sendText(R"({"op":"config_network"})"));
  const Json::Value network = parse(client.receiveText(10s).value_or(""));
  EXPECT_EQ(network["op"].asString(), "config_network");
  EXPECT_EQ(network["Result"].asString(), "not given");

  const int fd = connectToLoopback(AgentProcess::port);
  ASSERT_GE(fd, 0);
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sendAll(fd, "GET /?token=tok-42 HTTP/1.1\r\nHost: 127.0.0.1:12209\r\n\r\n");
  std::string answer;
  char buffer[4096];
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  EXPECT_NE(answer.find("<title>agent page</title>"), std::string::npos) << answer;
}
