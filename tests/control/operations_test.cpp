#include "control/operations.h"
#include "support/log_line.h"

#include "control/queues.h"
#include "control/session_owners.h"
#include "control/shared_state.h"
#include "support/pause.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// Records every machine action in one list, so tests can check their order
// against the pauses too.
class RecordingEnvironment : public OperationEnvironment {
public:
  std::vector<std::string> events;
  std::vector<std::string> scriptLines;
  bool running = false;
  bool startSucceeds = true;

  std::vector<std::string> runCommand(const std::string& command) override {
    events.push_back("command " + command);
    return scriptLines;
  }
  void runSystem(const std::string& command) override { events.push_back("system " + command); }
  bool sessionRunning() override { return running; }
  bool startServerSession() override {
    events.push_back("start server session");
    return startSucceeds;
  }
  bool startExternalSession() override {
    events.push_back("start external session");
    return startSucceeds;
  }
};

class RecordingConnection : public WsConnection {
public:
  explicit RecordingConnection(std::string id) : id_(std::move(id)) {}
  std::string identity() const override { return id_; }
  void send(std::string text, SendDone) override { sent.push_back(std::move(text)); }
  std::vector<std::string> sent;

private:
  std::string id_;
};

std::vector<std::string> drain(MessageQueue& queue) {
  std::vector<std::string> texts;
  while (auto text = queue.takeFor(std::chrono::milliseconds(0))) {
    texts.push_back(*text);
  }
  return texts;
}

Json::Value parse(const std::string& text) {
  Json::Value value;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text;
  return value;
}

class OperationsTest : public ::testing::Test {
protected:
  void SetUp() override {
    msg_queue.clear();
    resp_queue.clear();
    isRestoreProcessRunning = false;
    cancelrestore = false;
    in = nullptr;
    sessionOwners.clear();
    previousPause_ = setPauseFunction([this](std::chrono::milliseconds duration) {
      environment.events.push_back("pause " + std::to_string(duration.count()));
    });
  }

  void TearDown() override {
    setPauseFunction(previousPause_);
    if (in.load() != nullptr) {
      std::fclose(in.exchange(nullptr));
    }
    msg_queue.clear();
    resp_queue.clear();
    isRestoreProcessRunning = false;
    cancelrestore = false;
  }

  // Dispatches `text` and returns what it wrote to standard output.
  std::string dispatch(const std::string& text, const WsConnectionPtr& sender = nullptr) {
    ::testing::internal::CaptureStdout();
    dispatchMessage(text, environment, sender);
    return ::testing::internal::GetCapturedStdout();
  }

  RecordingEnvironment environment;

private:
  PauseFunction previousPause_;
};

TEST_F(OperationsTest, MachineOperationsRunTheirCommandsAndForwardNothing) {
  dispatch(R"({"op":"reboot"})");
  dispatch(R"({"op":"shutdown","extra":[1,2]})");
  const std::string log = dispatch(R"({"op":"disable-ssh"})");

  EXPECT_EQ(environment.events,
            (std::vector<std::string>{"system reboot", "system shutdown -h now", "system /etc/init.d/ssh stop"}));
  EXPECT_EQ(log, "parsing success \ndisable-ssh\nCalling disabling ssh\nDisabled ssh\n");
  EXPECT_TRUE(msg_queue.empty());
  EXPECT_TRUE(resp_queue.empty());
}

TEST_F(OperationsTest, EverythingElseIsForwardedUnchanged) {
  const std::vector<std::string> texts = {
      R"({"op":"REBOOT"})",          // comparison is exact
      R"({"op":"reboot "})",
      R"({"op":"-u","args":"x"})",  // a session operation
      R"({"mode":"BMR_SERVER"})",   // no op at all
      R"({"op":["reboot"]})",       // op of another type counts as empty
      R"({"op":{"x":"reboot"}})",
      R"(["reboot"])",              // JSON, but not an object
      R"("reboot")",
      "abc",
      "",
  };
  environment.running = true;
  for (const auto& text : texts) {
    dispatch(text);
  }
  EXPECT_EQ(drain(msg_queue), texts);
  EXPECT_TRUE(environment.events.empty());
  EXPECT_TRUE(resp_queue.empty());
}

TEST_F(OperationsTest, TextThatDoesNotParseCompletelyNeverRunsAnOperation) {
  const std::vector<std::string> texts = {
      R"({"op":"reboot")",
      R"({"op":"reboot", "x": })",
      R"({"op":"shutdown"} trailing)",
      std::string(100000, '[') + std::string(100000, ']'),  // deeper than the reader allows
  };
  environment.running = true;
  for (const auto& text : texts) {
    const std::string log = dispatch(text);
    EXPECT_EQ(log.find("parsing success"), std::string::npos) << text.substr(0, 40);
  }
  EXPECT_EQ(drain(msg_queue), texts);
  EXPECT_TRUE(environment.events.empty());
}

TEST_F(OperationsTest, InitStartsTheSessionThatTheModeNames) {
  dispatch(R"({"op":"init","mode":"BMR_SERVER"})");
  EXPECT_TRUE(isRestoreProcessRunning);
  dispatch(R"({"op":"init"})");
  dispatch(R"({"op":"init","mode":"EXTERNAL"})");
  dispatch(R"({"op":"init","mode":"bmr_server"})");
  dispatch(R"({"op":"init","mode":["BMR_SERVER"]})");

  EXPECT_EQ(environment.events,
            (std::vector<std::string>{"start server session", "start external session", "start external session",
                                      "start external session", "start external session"}));
  EXPECT_TRUE(msg_queue.empty());
  EXPECT_TRUE(resp_queue.empty());
}

TEST_F(OperationsTest, InitWhileASessionRunsAsksItToStartOverFirst) {
  environment.running = true;
  const std::string log = dispatch(R"({"op":"init","mode":"BMR_SERVER"})");

  // The new session itself waits for the old one to end; the endpoint does
  // not pause.
  EXPECT_EQ(environment.events, (std::vector<std::string>{"start server session"}));
  const auto pushed = drain(msg_queue);
  ASSERT_EQ(pushed.size(), 1u);
  EXPECT_EQ(parse(pushed[0]), parse(R"({"op":"start-over"})"));
  EXPECT_NE(log.find("Restoring from BMR Server\n"), std::string::npos);
  EXPECT_TRUE(isRestoreProcessRunning);
}

TEST_F(OperationsTest, SessionMessagesWhileNoSessionRunsAreDroppedWithoutLoggingPasswords) {
  const std::string log = dispatch(R"({"op":"auth","pass":"hunter2"})");
  dispatch(R"({"op":"-r","restorepoints":[{"out":"/dev/sda","in":["x"]}]})");
  EXPECT_TRUE(msg_queue.empty());
  EXPECT_NE(log.find("dropping"), std::string::npos) << log;
  EXPECT_EQ(log.find("hunter2"), std::string::npos) << log;
}

TEST_F(OperationsTest, ASessionThatCannotStartLeavesTheFlagDown) {
  environment.startSucceeds = false;
  const std::string log = dispatch(R"({"op":"init","mode":"USB"})");
  EXPECT_NE(log.find("Restoring from External Server\n"), std::string::npos);
  EXPECT_FALSE(isRestoreProcessRunning);
}

TEST_F(OperationsTest, CancelRestoreAnswersOnlyWhileAProgressPipeIsOpen) {
  std::string log = dispatch(R"({"op":"cancel-restore"})");
  EXPECT_TRUE(cancelrestore);
  EXPECT_NE(log.find("cancelrestore is set\n"), std::string::npos);
  EXPECT_TRUE(resp_queue.empty());

  cancelrestore = false;
  in = std::fopen("/dev/null", "r");
  ASSERT_NE(in.load(), nullptr);
  dispatch(R"({"op":"cancel-restore"})");
  EXPECT_TRUE(cancelrestore);
  const auto replies = drain(resp_queue);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(parse(replies[0]), parse(R"({"op":"cancel-restore","msg":"success"})"));
  EXPECT_TRUE(msg_queue.empty());
}

TEST_F(OperationsTest, ConfigNetworkReturnsTheScriptsFirstLine) {
  struct Case {
    std::vector<std::string> lines;
    std::string expectedResult;  // as JSON text
  };
  const std::vector<Case> cases = {
      {{R"({"interfaces":[{"name":"eth0","ipv4":["10.0.0.5/24"]}]})", "second line"},
       R"({"interfaces":[{"name":"eth0","ipv4":["10.0.0.5/24"]}]})"},
      {{"[1, 2]"}, "[1,2]"},
      {{"\"10.0.0.5\"\r"}, R"("10.0.0.5")"},
      {{"10.0.0.5 is the address"}, R"("10.0.0.5 is the address")"},
      {{"{broken"}, R"("{broken")"},
      {{}, "null"},
  };
  for (const auto& c : cases) {
    environment.events.clear();
    environment.scriptLines = c.lines;
    const std::string log = dispatch(R"({"op":"config_network"})");

    EXPECT_EQ(environment.events, std::vector<std::string>{"command ./get_ip.sh"});
    const auto replies = drain(resp_queue);
    ASSERT_EQ(replies.size(), 1u);
    const Json::Value reply = parse(replies[0]);
    EXPECT_EQ(reply["op"], "config_network");
    EXPECT_TRUE(reply.isMember("Result"));
    EXPECT_EQ(reply["Result"], parse(c.expectedResult)) << replies[0];
    EXPECT_NE(log.find("Calling Configuring network...\nCalling Configure Network\n"), std::string::npos);
    if (c.lines.empty()) {
      EXPECT_NE(log.find("Error: ./get_ip.sh printed nothing"), std::string::npos) << log;
    } else {
      // A carriage return the script left at the line's end shows escaped.
      EXPECT_NE(log.find("Ip returned is " + escapeControlCharacters(c.lines.front()) + "\n"), std::string::npos)
          << log;
    }
  }
  EXPECT_TRUE(msg_queue.empty());
}

// A test thread is no session: the run it begins is generation 0's, and its
// endRestoreSession() ends it.
class OperationsDuringARun : public OperationsTest {
protected:
  void SetUp() override {
    OperationsTest::SetUp();
    environment.running = true;
    ASSERT_TRUE(beginRestoreRun());
    publishRunProgress(kProgress);
    resp_queue.clear();
  }
  void TearDown() override {
    endRestoreSession();
    OperationsTest::TearDown();
  }

  static constexpr const char* kProgress = R"({"op": "-p", "progress": {"C": "40%"}})";
  std::shared_ptr<RecordingConnection> viewer = std::make_shared<RecordingConnection>("0x2");
};

TEST_F(OperationsDuringARun, AnInitWaitsForTheRunAndTellsItsSenderWhy) {
  dispatch(R"({"op":"init","mode":"BMR_SERVER"})", viewer);

  EXPECT_FALSE(cancelrestore) << "the run was cancelled";
  EXPECT_TRUE(msg_queue.empty()) << "the running session was asked to start over";
  EXPECT_EQ(environment.events, std::vector<std::string>{"start server session"});
  ASSERT_EQ(viewer->sent.size(), 2u);
  EXPECT_EQ(parse(viewer->sent[0]), parse(R"({"op":"busy","msg":"restore_running"})"));
  EXPECT_EQ(parse(viewer->sent[1]), parse(kProgress));
  EXPECT_TRUE(restoreRunInProgress());
}

TEST_F(OperationsDuringARun, RebootAndShutdownNeedForceUntilTheRunEnds) {
  dispatch(R"({"op":"reboot"})", viewer);
  dispatch(R"({"op":"shutdown"})", viewer);
  dispatch(R"({"op":"reboot","force":"true"})", viewer);  // only a JSON true forces
  EXPECT_TRUE(environment.events.empty());
  ASSERT_EQ(viewer->sent.size(), 3u);
  EXPECT_EQ(parse(viewer->sent[0]), parse(R"({"op":"reboot","msg":"restore_running"})"));
  EXPECT_EQ(parse(viewer->sent[1]), parse(R"({"op":"shutdown","msg":"restore_running"})"));

  dispatch(R"({"op":"shutdown","force":true})", viewer);
  EXPECT_EQ(environment.events, std::vector<std::string>{"system shutdown -h now"});

  endRestoreSession();
  dispatch(R"({"op":"reboot"})", viewer);
  EXPECT_EQ(environment.events, (std::vector<std::string>{"system shutdown -h now", "system reboot"}));
}

TEST_F(OperationsTest, OnlyTheConnectionThatStartedTheSessionDrivesIt) {
  const auto owner = std::make_shared<RecordingConnection>("0x1");
  const auto other = std::make_shared<RecordingConnection>("0x2");
  dispatch(R"({"op":"init","mode":"BMR_SERVER"})", owner);
  environment.running = true;

  const std::string log = dispatch(R"({"op":"-r","restorepoints":[{"out":"/dev/sda","in":["x"]}]})", other);
  dispatch(R"({"op":"auth","pass":"hunter2"})", other);
  EXPECT_TRUE(msg_queue.empty()) << "a foreign connection drove the session";
  EXPECT_NE(log.find("Refusing a message from connection 0x2"), std::string::npos) << log;

  dispatch(R"({"op":"-u"})", owner);
  EXPECT_EQ(drain(msg_queue), std::vector<std::string>{R"({"op":"-u"})"});

  dispatch(R"({"op":"cancel-restore"})", other);
  EXPECT_TRUE(cancelrestore) << "a second device must be able to stop a restore";

  // Its own "init" makes the other connection the driver of a new session.
  dispatch(R"({"op":"init","mode":"BMR_SERVER"})", other);
  drain(msg_queue);
  dispatch(R"({"op":"-u"})", other);
  dispatch(R"({"op":"-e"})", owner);
  EXPECT_EQ(drain(msg_queue), std::vector<std::string>{R"({"op":"-u"})"});
}

}  // namespace
