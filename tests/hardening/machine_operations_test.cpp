// The endpoint's dispatch of every malformed message: none may run a machine
// operation (a shell command, a session), and each must reach msg_queue
// unchanged, where a session can answer or ignore it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "control/operations.h"
#include "control/queues.h"
#include "control/shared_state.h"
#include "hardening/malformed_messages.h"

namespace {

class RecordingEnvironment : public OperationEnvironment {
public:
  std::vector<std::string> actions;

  std::vector<std::string> runCommand(const std::string& command) override {
    actions.push_back("command " + command);
    return {};
  }
  void runSystem(const std::string& command) override { actions.push_back("system " + command); }
  // A session runs, so every text that is no machine operation is forwarded.
  bool running = true;
  bool sessionRunning() override { return running; }
  bool startServerSession() override {
    actions.push_back("server session");
    return true;
  }
  bool startExternalSession() override {
    actions.push_back("external session");
    return true;
  }
};

class MalformedDispatch : public ::testing::Test {
protected:
  void SetUp() override {
    msg_queue.clear();
    resp_queue.clear();
  }
  void TearDown() override {
    msg_queue.clear();
    resp_queue.clear();
    cancelrestore = false;
    isRestoreProcessRunning = false;
  }

  void expectForwardedOnly(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
      RecordingEnvironment environment;
      dispatchMessage(text, environment);
      EXPECT_TRUE(environment.actions.empty()) << text.substr(0, 200) << " ran " << environment.actions.front();
      const auto forwarded = msg_queue.takeFor(std::chrono::milliseconds(0));
      ASSERT_TRUE(forwarded) << text.substr(0, 200);
      EXPECT_EQ(*forwarded, text);
      EXPECT_TRUE(msg_queue.empty());
      EXPECT_TRUE(resp_queue.empty()) << text.substr(0, 200);
    }
  }
};

TEST_F(MalformedDispatch, TextsThatAreNotJsonNeverRunAnOperation) {
  // Among them trailing commas and comments around a machine operation: not
  // JSON, so no reboot.
  std::vector<std::string> texts = notJson(300, 1);
  for (const char* text : {
           "{\"op\": \"reboot\",}",
           "{\"op\": \"shutdown\", }",
           "/* note */ {\"op\": \"reboot\"}",
           "{\"op\": \"reboot\"} // note",
           "{\"op\": /* note */ \"shutdown\"}",
           "{\"op\": \"init\", \"mode\": \"BMR_SERVER\",}",
       }) {
    texts.emplace_back(text);
  }
  expectForwardedOnly(texts);
}

TEST_F(MalformedDispatch, MembersOfTheWrongTypeAreForwardedToTheSession) {
  std::vector<std::string> texts = wrongMemberTypes();
  for (std::string& text : deeplyNested()) texts.push_back(std::move(text));
  for (std::string& text : nearSizeLimit(size_t{1} << 20)) texts.push_back(std::move(text));
  // "cancel-restore" with extra members is still a cancel: it sets the flag
  // and sends nothing while no restore tool runs; all other texts are
  // forwarded untouched.
  std::vector<std::string> forwarded;
  for (std::string& text : texts) {
    if (text.find("\"cancel-restore\"") == std::string::npos) forwarded.push_back(std::move(text));
  }
  expectForwardedOnly(forwarded);
}

TEST_F(MalformedDispatch, InitWithAModeOfTheWrongTypeStartsAnExternalSession) {
  for (const std::string& text : sessionStartsOfWrongMode()) {
    RecordingEnvironment environment;
    environment.running = false;
    dispatchMessage(text, environment);
    EXPECT_EQ(environment.actions, std::vector<std::string>{"external session"}) << text;
    EXPECT_TRUE(msg_queue.empty());
  }
}

}  // namespace
