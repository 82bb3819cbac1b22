#include "protocol/login_dialogue.h"

#include <json/json.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "control/failure_throttle.h"
#include "control/queues.h"
#include "control/session_peer.h"
#include "control/shared_state.h"
#include "protocol/login.h"
#include "protocol/service_fixture.h"
#include "support/pause.h"

namespace {

std::string msgOf(const std::string& text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::istringstream in(text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << text;
  EXPECT_EQ(value["op"].asString(), "auth");
  return value["msg"].asString();
}

// A service whose answers depend on the command: the login without
// credentials, the salt request and the login with a digest.
struct ScriptedStore {
  std::string openLogin = "need password";
  std::vector<std::string> saltReplies = {"ok;S;C;3"};
  std::string clients = "";
  std::string password = "right";
  size_t saltCalls = 0;
  size_t passwordsTried = 0;
  std::mutex mutex;

  size_t tried() {
    const std::lock_guard lock(mutex);
    return passwordsTried;
  }

  void answer(const std::string& request, int socket) {
    const std::lock_guard lock(mutex);
    std::string reply;
    if (request == "LOGIN FOR DOWNLOAD#pw=s3rvice&pw") {
      reply = openLogin;
    } else if (request.starts_with("GET SALT#")) {
      reply = saltReplies[std::min(saltCalls++, saltReplies.size() - 1)];
    } else if (request.starts_with("GET BACKUPCLIENTS#")) {
      reply = clients;
    } else if (request.starts_with("LOGIN FOR DOWNLOAD#")) {
      ++passwordsTried;
      const auto salts = parseSaltReply(saltReplies.back());
      reply = request == "LOGIN FOR DOWNLOAD#pw=s3rvice&pw" + loginParameters("admin", password, salts) ? "ok"
                                                                                                          : "failed";
    }
    FakeBackupService::sendFrame(socket, reply);
  }
};

class LoginDialogueTest : public ServiceTest {
protected:
  void SetUp() override {
    ServiceTest::SetUp();
    found_salt = false;
    isConnected = false;
    msg_queue.clear();
    resp_queue.clear();
    wrongSecrets.clear();
    previousPause_ = setPauseFunction([this](std::chrono::milliseconds d) { pauses_.push_back(d); });
    start([this](const std::string& request, int socket) { store_.answer(request, socket); });
  }
  void TearDown() override {
    setPauseFunction(previousPause_);
    adoptSessionGeneration(0);
    msg_queue.clear();
    resp_queue.clear();
    wrongSecrets.clear();
    ServiceTest::TearDown();
  }
  // Makes the calling thread the session of a new generation, started from
  // `peer`, as the endpoint does for an "init".
  void becomeSessionOf(const std::string& peer) {
    const unsigned generation = openNextSessionGeneration();
    recordSessionPeer(generation, peer);
    adoptSessionGeneration(generation);
  }
  std::chrono::milliseconds paused() const {
    std::chrono::milliseconds total{0};
    for (const std::chrono::milliseconds pause : pauses_) total += pause;
    return total;
  }
  std::vector<std::string> sent() {
    std::vector<std::string> msgs;
    while (auto text = resp_queue.takeFor(std::chrono::milliseconds(0))) msgs.push_back(msgOf(*text));
    return msgs;
  }

  ScriptedStore store_;
  PauseFunction previousPause_;
  std::vector<std::chrono::milliseconds> pauses_;
};

TEST_F(LoginDialogueTest, OpenStoreNeedsNoDialogue) {
  for (const char* accepted : {"ok", "no channels available"}) {
    store_.openLogin = accepted;
    bool abort = true;
    EXPECT_TRUE(do_login(abort));
    EXPECT_TRUE(abort);  // left as the caller set it
    EXPECT_TRUE(sent().empty());
  }
}

TEST_F(LoginDialogueTest, SilentLoginButAListedClientCountsAsLoggedIn) {
  store_.openLogin = "";
  store_.clients = "1|pc1";
  bool abort = false;
  EXPECT_TRUE(do_login(abort));
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(store_.saltCalls, 0u);
}

TEST_F(LoginDialogueTest, PasswordIsAskedUntilItIsRight) {
  msg_queue.push(R"({"op": "auth", "pass": ""})");
  msg_queue.push("not json at all");
  msg_queue.push(R"({"op": "auth", "pass": "wrong"})");
  msg_queue.push(R"({"op": "auth", "pass": {"nested": 1}})");
  msg_queue.push(R"({"op": "auth", "pass": "right"})");
  bool abort = true;
  EXPECT_TRUE(do_login(abort));
  EXPECT_FALSE(abort);  // cleared by the message that was not JSON
  EXPECT_TRUE(found_salt.load());
  EXPECT_TRUE(isConnected.load());
  EXPECT_EQ(sent(), (std::vector<std::string>{"password_needed", "login_failed", "password_needed",
                                              "password_needed", "login_failed", "password_needed",
                                              "login_failed", "password_needed"}));
  EXPECT_TRUE(msg_queue.empty());
}

TEST_F(LoginDialogueTest, OtherOperationClearsAbortAndAsksAgain) {
  msg_queue.push(R"({"op": "-u"})");
  msg_queue.push(R"({"op": "start-over"})");
  bool abort = true;
  EXPECT_TRUE(do_login(abort));
  EXPECT_TRUE(abort);
  EXPECT_EQ(sent(), (std::vector<std::string>{"password_needed", "password_needed"}));
}

TEST_F(LoginDialogueTest, UnknownUserIsReportedEveryTwoSecondsUntilASaltAppears) {
  store_.saltReplies = {"nouser", "", "ok;S;C;3"};
  msg_queue.push(R"({"op": "auth", "pass": "early"})");
  msg_queue.push(R"({"op": "start-over"})");
  bool abort = false;
  EXPECT_TRUE(do_login(abort));
  EXPECT_TRUE(abort);
  // The early password waited in the queue for the prompt and was tried there.
  EXPECT_EQ(sent(), (std::vector<std::string>{"user_not_found", "user_not_found", "password_needed", "login_failed",
                                              "password_needed"}));
  EXPECT_EQ(pauses_, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(2000),
                                                             std::chrono::milliseconds(2000)}));
}

TEST_F(LoginDialogueTest, StartOverEndsTheDialogueWhileNoSaltIsKnown) {
  store_.saltReplies = {"nouser"};
  msg_queue.push(R"({"op": "start-over"})");
  bool abort = false;
  EXPECT_TRUE(do_login(abort));
  EXPECT_TRUE(abort);
  EXPECT_EQ(sent(), (std::vector<std::string>{"user_not_found"}));
  EXPECT_TRUE(msg_queue.empty());
}

TEST_F(LoginDialogueTest, SaltOnceSeenIsRememberedWhenTheFetchLaterFails) {
  found_salt = true;
  store_.saltReplies = {"nouser"};
  msg_queue.push(R"({"op": "start"})");
  bool abort = false;
  EXPECT_TRUE(do_login(abort));
  EXPECT_TRUE(abort);
  EXPECT_EQ(sent(), (std::vector<std::string>{"password_needed"}));
}

TEST_F(LoginDialogueTest, AfterFiveWrongPasswordsEachFurtherOneIsTriedOnlyAfterALongerWait) {
  becomeSessionOf("192.0.2.7");
  // How long the dialogue waited after each number of passwords tried.
  std::map<size_t, std::chrono::milliseconds> waitedAfter;
  setPauseFunction([&](std::chrono::milliseconds d) {
    pauses_.push_back(d);
    waitedAfter[store_.tried()] += d;
  });
  for (int i = 0; i < 6; ++i) msg_queue.push(R"({"op": "auth", "pass": "wrong"})");
  msg_queue.push(R"({"op": "auth", "pass": "right"})");
  bool abort = false;
  EXPECT_TRUE(do_login(abort));
  EXPECT_FALSE(abort);
  EXPECT_EQ(store_.tried(), 7u);
  const std::vector<std::string> msgs = sent();
  EXPECT_EQ(std::count(msgs.begin(), msgs.end(), "login_failed"), 6);
  EXPECT_EQ(waitedAfter, (std::map<size_t, std::chrono::milliseconds>{{5, std::chrono::seconds(1)},
                                                                      {6, std::chrono::seconds(2)}}));
  // Counted against the address that started the session, and nowhere else.
  const auto now = FailureThrottle::Clock::now();
  EXPECT_EQ(wrongSecrets.waitFor("192.0.2.7", now), std::chrono::seconds(2));
  EXPECT_EQ(wrongSecrets.waitFor("192.0.2.8", now), FailureThrottle::Clock::duration::zero());
}

TEST_F(LoginDialogueTest, ARightPasswordAfterWrongOnesWaitsAsLongBeforeItIsTried) {
  // Were only wrong guesses answered late, an early answer would tell a
  // right one at once, and the guesser could give up on every slow one.
  becomeSessionOf("127.0.0.1");  // a guess from the console's browser is still a guess
  for (int i = 0; i < 5; ++i) msg_queue.push(R"({"op": "auth", "pass": "wrong"})");
  msg_queue.push(R"({"op": "auth", "pass": "right"})");
  bool abort = false;
  EXPECT_TRUE(do_login(abort));
  EXPECT_FALSE(abort);
  EXPECT_EQ(store_.tried(), 6u);
  EXPECT_EQ(paused(), std::chrono::seconds(1));
  const std::vector<std::string> msgs = sent();
  EXPECT_EQ(std::count(msgs.begin(), msgs.end(), "login_failed"), 5);
  EXPECT_EQ(std::count(msgs.begin(), msgs.end(), "password_needed"), 6) << "not asked again: logged in";
}

TEST_F(LoginDialogueTest, AStartOverOrANewSessionEndsTheWaitAndTheDialogue) {
  const std::vector<std::pair<const char*, std::function<void()>>> interruptions = {
      {"start-over", [] { msg_queue.push(R"({"op": "start-over"})"); }},
      {"a newer init", [] { openNextSessionGeneration(); }},
  };
  for (const auto& [name, interrupt] : interruptions) {
    SCOPED_TRACE(name);
    wrongSecrets.clear();
    pauses_.clear();
    const size_t triedBefore = store_.tried();
    becomeSessionOf("192.0.2.7");
    for (int i = 0; i < 20; ++i) wrongSecrets.recordFailure("192.0.2.7", FailureThrottle::Clock::now());
    msg_queue.push(R"({"op": "auth", "pass": "right"})");
    setPauseFunction([&](std::chrono::milliseconds d) {
      if (pauses_.empty()) interrupt();
      pauses_.push_back(d);
    });
    bool abort = false;
    EXPECT_TRUE(do_login(abort));
    EXPECT_TRUE(abort);
    EXPECT_EQ(store_.tried(), triedBefore) << "the password waiting its turn is never tried";
    EXPECT_EQ(pauses_.size(), 1u) << "a minute's wait ends at the next slice";
    EXPECT_LT(paused(), std::chrono::seconds(1));
    msg_queue.clear();
    resp_queue.clear();
  }
}

// A program without the agent's session (the restore tool, the backup
// service) runs the dialogue on a prompt of its own: nothing may reach the
// session's queues or flags, or a running session would see foreign messages.
TEST_F(LoginDialogueTest, ADialogueOnItsOwnPromptLeavesTheSessionAlone) {
  std::atomic<bool> foundSalt{false};
  std::atomic<bool> passwordAsked{false};
  std::deque<std::string> answers = {R"({"op": "auth", "pass": "wrong"})", R"({"op": "auth", "pass": "right"})"};
  std::vector<std::string> shown;
  const LoginPrompt prompt{
      .send = [&](std::string text) { shown.push_back(msgOf(text)); },
      .receive =
          [&] {
            std::string next = answers.front();
            answers.pop_front();
            return next;
          },
      .abortWaiting = [](const std::function<bool(const std::string&)>&) { return false; },
      .foundSalt = foundSalt,
      .passwordAsked = passwordAsked,
  };
  msg_queue.push(R"({"op": "start-over"})");

  bool abort = true;
  EXPECT_TRUE(runLoginDialogue(prompt, abort));
  EXPECT_TRUE(abort);
  EXPECT_TRUE(answers.empty());
  EXPECT_EQ(shown, (std::vector<std::string>{"password_needed", "login_failed", "password_needed"}));
  EXPECT_TRUE(foundSalt.load());
  EXPECT_TRUE(passwordAsked.load());
  EXPECT_FALSE(found_salt.load());
  EXPECT_FALSE(isConnected.load());
  EXPECT_TRUE(resp_queue.empty());
  EXPECT_FALSE(msg_queue.empty()) << "the session's own message stays for the session";
}

}  // namespace
