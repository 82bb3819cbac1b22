#include "control/shared_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/queues.h"

TEST(SessionGeneration, OnlyTheNewestSessionClearsTheRunningFlag) {
  const unsigned first = beginSessionGeneration();
  isRestoreProcessRunning = true;
  const unsigned second = beginSessionGeneration();
  ASSERT_NE(first, second);

  // The replaced session ends late, after its successor started.
  std::thread([first] {
    adoptSessionGeneration(first);
    endRestoreSession();
  }).join();
  EXPECT_TRUE(isRestoreProcessRunning);

  std::thread([second] {
    adoptSessionGeneration(second);
    endRestoreSession();
  }).join();
  EXPECT_FALSE(isRestoreProcessRunning);
}

TEST(SessionGeneration, ASessionThatEndedBeforeTheNextInitLeavesTheFlagDown) {
  const unsigned only = beginSessionGeneration();
  isRestoreProcessRunning = true;
  std::thread([only] {
    adoptSessionGeneration(only);
    endRestoreSession();
  }).join();
  EXPECT_FALSE(isRestoreProcessRunning);
  EXPECT_EQ(currentSessionGeneration(), only);
}

namespace {

using namespace std::chrono_literals;

// A session thread as the agent starts one: it waits for its turn and then
// hands every message it takes to `taken`, until it is told to start over.
class FakeSession {
public:
  explicit FakeSession(unsigned generation)
      : thread_([this, generation] {
          const SessionTurn turn(generation);
          entered_ = turn.entered();
          started_ = true;
          if (!turn.entered()) {
            return;
          }
          for (;;) {
            const std::string text = GetMsgFromQue();
            std::lock_guard lock(mutex_);
            taken_.push_back(text);
            if (text.find("start-over") != std::string::npos) {
              return;
            }
          }
        }) {}
  ~FakeSession() { join(); }

  void join() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  bool started() const { return started_; }
  bool entered() const { return entered_; }
  std::vector<std::string> taken() {
    std::lock_guard lock(mutex_);
    return taken_;
  }
  bool waitForTaken(size_t count) {
    for (int i = 0; i < 400; ++i) {
      if (taken().size() >= count) {
        return true;
      }
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

private:
  std::mutex mutex_;
  std::vector<std::string> taken_;
  std::atomic<bool> started_{false};
  std::atomic<bool> entered_{false};
  std::thread thread_;
};

class SessionTurns : public ::testing::Test {
protected:
  void SetUp() override {
    msg_queue.clear();
    cancelrestore = false;
  }
  void TearDown() override {
    msg_queue.clear();
    cancelrestore = false;
    isRestoreProcessRunning = false;
  }
};

TEST_F(SessionTurns, MessagesFromBeforeTheSessionBeganAreNeverTaken) {
  beginSessionGeneration();
  msg_queue.push(R"({"op": "-r", "restorepoints": []})");  // a double click before "init"
  const unsigned generation = beginSessionGeneration();
  msg_queue.push(R"({"op": "-m"})");
  msg_queue.push(R"({"op": "start-over"})");
  FakeSession session(generation);
  session.join();
  EXPECT_EQ(session.taken(), (std::vector<std::string>{R"({"op": "-m"})", R"({"op": "start-over"})"}));
  EXPECT_TRUE(msg_queue.empty());
}

TEST_F(SessionTurns, AReplacedSessionStartsOverAndItsSuccessorRunsOnlyAfterIt) {
  const unsigned first = beginSessionGeneration();
  FakeSession old(first);
  msg_queue.push(R"({"op": "-u"})");
  ASSERT_TRUE(old.waitForTaken(1));

  const unsigned second = beginSessionGeneration();
  EXPECT_TRUE(cancelrestore) << "a restore run of the replaced session must stop";
  msg_queue.push(R"({"op": "-m"})");  // sent right after "init": the new session's
  FakeSession successor(second);
  old.join();
  ASSERT_EQ(old.taken().size(), 2u);
  EXPECT_NE(old.taken()[1].find("start-over"), std::string::npos);

  ASSERT_TRUE(successor.waitForTaken(1));
  EXPECT_TRUE(successor.entered());
  EXPECT_EQ(successor.taken()[0], R"({"op": "-m"})");
  EXPECT_FALSE(cancelrestore) << "the successor starts with no cancel pending";
  msg_queue.push(R"({"op": "start-over"})");
}

TEST_F(SessionTurns, ASessionReplacedBeforeItsTurnNeverRuns) {
  // A session still busy (restoring, say) holds the turn.
  std::optional<SessionTurn> busy;
  busy.emplace(beginSessionGeneration());
  const unsigned skipped = beginSessionGeneration();
  FakeSession waiting(skipped);
  const unsigned newest = beginSessionGeneration();
  waiting.join();
  EXPECT_FALSE(waiting.entered());
  EXPECT_TRUE(waiting.taken().empty());

  FakeSession last(newest);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(last.entered()) << "two sessions at once";
  busy.reset();
  adoptSessionGeneration(0);
  msg_queue.push(R"({"op": "start-over"})");
  last.join();
  EXPECT_TRUE(last.entered());
}

TEST_F(SessionTurns, ARestoreRunDoesNotBeginInAReplacedSession) {
  const unsigned first = beginSessionGeneration();
  std::atomic<bool> began{true};
  std::atomic<bool> mayCheck{false};
  std::thread session([&] {
    const SessionTurn turn(first);
    while (!mayCheck) {
      std::this_thread::sleep_for(1ms);
    }
    began = beginRestoreRun();
  });
  std::this_thread::sleep_for(10ms);
  beginSessionGeneration();
  mayCheck = true;
  session.join();
  EXPECT_FALSE(began);
  EXPECT_TRUE(cancelrestore) << "the replaced session must not clear the cancel";
}

TEST_F(SessionTurns, ANewSessionDuringARunLeavesItRunningAndStartsAfterIt) {
  resp_queue.clear();
  const unsigned first = beginSessionGeneration();
  std::atomic<bool> began{false};
  std::atomic<bool> mayEnd{false};
  std::atomic<bool> cancelSeen{false};
  std::thread session([&] {
    const SessionTurn turn(first);
    began = beginRestoreRun();
    publishRunProgress(R"({"op": "-p", "progress": {"C": "40%"}})");
    while (!mayEnd) {
      std::this_thread::sleep_for(1ms);
    }
    cancelSeen = cancelrestore.load();
  });
  while (!restoreRunInProgress()) {
    std::this_thread::sleep_for(1ms);
  }
  const unsigned second = beginSessionGeneration();
  FakeSession successor(second);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(successor.entered()) << "the new session must wait for the run";
  mayEnd = true;
  session.join();
  EXPECT_TRUE(began);
  EXPECT_FALSE(cancelSeen) << "the new session cancelled the run";
  EXPECT_FALSE(restoreRunInProgress());
  EXPECT_EQ(progressForNewView(), R"({"op": "-p", "progress": {"C": "40%"}})")
      << "a page opened just after the run still sees how it ended";
  EXPECT_EQ(resp_queue.takeEntry().generation, kEveryConnection);

  msg_queue.push(R"({"op": "start-over"})");
  successor.join();
  EXPECT_TRUE(successor.entered());
  resp_queue.clear();
}

}  // namespace
