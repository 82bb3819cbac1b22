// The login dialogue waits for the password on msg_queue, which carries
// whatever the user interface sent. Texts that are not JSON objects, or whose
// "op" or "pass" have the wrong type, must only make it ask again: never end
// the dialogue with an exception, never abort it, never try a login.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "control/queues.h"
#include "control/shared_state.h"
#include "hardening/hostile_service.h"
#include "protocol/login_dialogue.h"
#include "support/pause.h"

namespace fs = std::filesystem;

namespace {

std::string msgOf(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, value)) << text;
  return value["msg"].asString();
}

class LoginDialogueAbuse : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = fs::current_path();
    // Owner only: a password file others may read is refused.
    fs::permissions(dir_.write("keelback/pw.txt", "service-pw"), fs::perms::owner_read | fs::perms::owner_write);
    fs::current_path(dir_.path());
    found_salt = false;
    msg_queue.clear();
    resp_queue.clear();
    previousPause_ = setPauseFunction([](std::chrono::milliseconds) {});
  }
  void TearDown() override {
    setPauseFunction(previousPause_);
    msg_queue.clear();
    resp_queue.clear();
    found_salt = false;
    fs::current_path(previous_);
  }

  TempDir dir_;
  fs::path previous_;
  PauseFunction previousPause_;
};

TEST_F(LoginDialogueAbuse, MalformedAnswersToThePasswordQuestionOnlyAskAgain) {
  // The login without credentials is refused and the salt is offered; a
  // login with a digest is counted.
  std::mutex mutex;
  int digestLogins = 0;
  {
    HostileService service([&](int socket, const std::atomic<bool>&) {
      const std::string request = HostileService::readRequest(socket);
      std::string reply = "refused";
      if (request.starts_with("GET SALT#")) {
        reply = "ok;S;C";
      } else if (request.find("&password") != std::string::npos) {
        const std::lock_guard lock(mutex);
        ++digestLogins;
      }
      sendAll(socket, HostileService::frame(reply));
    });
    ASSERT_TRUE(service.listening()) << "port 35623 is taken; run under the ports lock";

    const std::vector<std::string> ignored = {
        std::string(100000, '['),
        [] {
          std::string nested;
          for (int i = 0; i < 50000; ++i) nested += "{\"op\":";
          return nested;
        }(),
        "not json at all",
        "[\"start-over\"]",
        "\"start-over\"",
        R"({"op": ["start-over"]})",
        R"({"op": {"start": 1}})",
        R"({"op": null, "pass": "x"})",
        R"({"op": 7})",
    };
    const std::vector<std::string> emptyPasswords = {
        R"({"op": "auth", "pass": ["right"]})",
        R"({"op": "auth", "pass": {"p": "right"}})",
        R"({"op": "auth", "pass": 12345})",
        R"({"op": "auth"})",
    };
    for (const std::string& text : ignored) msg_queue.push(text);
    for (const std::string& text : emptyPasswords) msg_queue.push(text);
    msg_queue.push(R"({"op": "start-over"})");

    bool abort = false;
    bool result = false;
    EXPECT_NO_THROW(result = do_login(abort));
    EXPECT_TRUE(result);
    EXPECT_TRUE(abort) << "only the final start-over may end the dialogue";

    std::vector<std::string> asked;
    while (const auto text = resp_queue.takeFor(std::chrono::milliseconds(0))) asked.push_back(msgOf(*text));
    const auto count = [&asked](const std::string& msg) { return std::count(asked.begin(), asked.end(), msg); };
    EXPECT_EQ(count("password_needed"), static_cast<long>(ignored.size() + emptyPasswords.size() + 1));
    EXPECT_EQ(count("login_failed"), static_cast<long>(emptyPasswords.size()));
    EXPECT_TRUE(msg_queue.empty());
  }
  EXPECT_EQ(digestLogins, 0) << "a password that is not text must not be tried";
}

}  // namespace
