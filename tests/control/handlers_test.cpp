#include "control/handlers.h"

#include "control/queues.h"
#include "control/shared_state.h"

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

class NamedConnection : public WsConnection {
public:
  explicit NamedConnection(std::string id) : id_(std::move(id)) {}
  std::string identity() const override { return id_; }
  void send(std::string, SendDone) override {}

private:
  std::string id_;
};

class RecordingConnection : public WsConnection {
public:
  std::string identity() const override { return "0xview"; }
  void send(std::string text, SendDone) override { sent.push_back(std::move(text)); }
  std::vector<std::string> sent;
};

class NothingToRun : public OperationEnvironment {
public:
  std::vector<std::string> runCommand(const std::string&) override { return {}; }
  void runSystem(const std::string&) override {}
  bool sessionRunning() override { return true; }
  bool startServerSession() override { return true; }
  bool startExternalSession() override { return true; }
};

class HandlersTest : public ::testing::Test {
protected:
  void SetUp() override {
    isClientConnected = false;
    msg_queue.clear();
    installHandlers(endpoint, environment);
  }
  void TearDown() override {
    isClientConnected = false;
    msg_queue.clear();
  }

  void open(const WsConnectionPtr& connection) {
    endpoint.add(connection);
    endpoint.on_open(connection);
  }

  NothingToRun environment;
  WsEndpoint endpoint;
};

TEST_F(HandlersTest, LogLinesOfTheFourEvents) {
  const auto connection = std::make_shared<NamedConnection>("0xabc");
  const boost::system::error_code reset = boost::asio::error::connection_reset;

  ::testing::internal::CaptureStdout();
  open(connection);
  endpoint.on_message(connection, R"({"op":"-u"})");
  endpoint.on_close(connection, 1001);
  endpoint.on_error(connection, reset);
  const std::string log = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(log, "Server: Opened connection 0xabc\n"
                 "Server: Message received: \"{\"op\":\"-u\"}\" from 0xabc\n"
                 "parsing success \n-u\n"
                 "Server: Closed connection 0xabc with status code 1001\n"
                 "Server: Error in connection 0xabc. Error: system:" +
                     std::to_string(reset.value()) + ", error message: " + reset.message() + "\n");
  EXPECT_EQ(msg_queue.takeFor(std::chrono::milliseconds(0)), R"({"op":"-u"})");
}

TEST_F(HandlersTest, ThePasswordNeverReachesTheLog) {
  const auto connection = std::make_shared<NamedConnection>("0xabc");
  ::testing::internal::CaptureStdout();
  open(connection);
  endpoint.on_message(connection, R"({"op": "auth", "pass": "hunter2"})");
  const std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(log.find("hunter2"), std::string::npos) << log;
  EXPECT_EQ(msg_queue.takeFor(std::chrono::milliseconds(0)), R"({"op": "auth", "pass": "hunter2"})")
      << "the session still gets the password";
}

TEST_F(HandlersTest, TheClientFlagStaysUpWhileAnyConnectionIsOpen) {
  const auto first = std::make_shared<NamedConnection>("0x1");
  const auto second = std::make_shared<NamedConnection>("0x2");
  ::testing::internal::CaptureStdout();
  open(first);
  open(second);
  EXPECT_TRUE(isClientConnected);

  endpoint.remove(first);
  endpoint.on_close(first, 1000);
  EXPECT_TRUE(isClientConnected);

  endpoint.remove(second);
  endpoint.on_error(second, boost::asio::error::eof);
  EXPECT_FALSE(isClientConnected);
  ::testing::internal::GetCapturedStdout();
}

TEST_F(HandlersTest, AConnectionOpenedDuringARunIsShownItsProgressAtOnce) {
  const auto before = std::make_shared<RecordingConnection>();
  const auto during = std::make_shared<RecordingConnection>();
  ::testing::internal::CaptureStdout();
  open(before);
  ASSERT_TRUE(beginRestoreRun());
  publishRunProgress(R"({"op": "-p", "progress": {"C": "7%"}})");
  open(during);
  endRestoreSession();
  ::testing::internal::GetCapturedStdout();
  resp_queue.clear();

  EXPECT_TRUE(before->sent.empty()) << "the response pump, not the opening, brings it the progress";
  EXPECT_EQ(during->sent, std::vector<std::string>{R"({"op": "-p", "progress": {"C": "7%"}})"});
}

}  // namespace
