#include "server_restore/progress.h"

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "control/queues.h"
#include "control/shared_state.h"
#include "support/command.h"
#include "support/pause.h"

namespace {

Json::Value parse(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, value)) << text;
  return value;
}

std::vector<std::string> drainResponses() {
  std::vector<std::string> texts;
  while (auto text = resp_queue.takeFor(std::chrono::milliseconds(0))) {
    texts.push_back(*text);
  }
  return texts;
}

class ProgressTest : public testing::Test {
protected:
  void SetUp() override {
    resp_queue.clear();
    restorePointToProgress.clear();
    cancelrestore = false;
    previous_ = setPauseFunction([this](std::chrono::milliseconds d) {
      pauses_.push_back(d);
      pipeOpenDuringPause_.push_back(in.load() != nullptr);
    });
  }
  void TearDown() override {
    setPauseFunction(previous_);
    cancelrestore = false;
    restorePointToProgress.clear();
    resp_queue.clear();
  }

  std::vector<std::chrono::milliseconds> pauses_;
  std::vector<bool> pipeOpenDuringPause_;

private:
  PauseFunction previous_;
};

TEST_F(ProgressTest, EmptyTableSendsNullProgress) {
  SendRestoreProgress();
  const auto texts = drainResponses();
  ASSERT_EQ(texts.size(), 1u);
  const Json::Value message = parse(texts[0]);
  EXPECT_EQ(message["op"].asString(), "-p");
  EXPECT_TRUE(message.isMember("progress"));
  EXPECT_TRUE(message["progress"].isNull());
}

TEST_F(ProgressTest, KeysAreListedInTextOrderWithTheirStatus) {
  restorePointToProgress.set("SYSVOL", "SUCCESS");
  restorePointToProgress.set("F", "45%");
  restorePointToProgress.set("ESPVOL", "");
  SendRestoreProgress();
  const auto texts = drainResponses();
  ASSERT_EQ(texts.size(), 1u);
  const std::string& text = texts[0];
  const auto esp = text.find("\"ESPVOL\"");
  const auto f = text.find("\"F\"");
  const auto sys = text.find("\"SYSVOL\"");
  ASSERT_NE(esp, std::string::npos);
  ASSERT_NE(f, std::string::npos);
  ASSERT_NE(sys, std::string::npos);
  EXPECT_LT(esp, f);
  EXPECT_LT(f, sys);
  const Json::Value progress = parse(text)["progress"];
  EXPECT_EQ(progress.size(), 3u);
  EXPECT_EQ(progress["F"].asString(), "45%");
  EXPECT_EQ(progress["SYSVOL"].asString(), "SUCCESS");
  EXPECT_EQ(progress["ESPVOL"].asString(), "");
}

TEST_F(ProgressTest, EachLineBecomesAPercentageMessageAndTheExitStatusIsReturned) {
  restorePointToProgress.set("SYSVOL", "SUCCESS");
  const int status = ProcessRestoreProgress("printf '10\\n55\\n100\\n'; exit 3", "C");
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(in.load(), nullptr);

  const auto texts = drainResponses();
  ASSERT_EQ(texts.size(), 3u);
  const std::vector<std::string> expected{"10%", "55%", "100%"};
  for (size_t i = 0; i < texts.size(); ++i) {
    const Json::Value message = parse(texts[i]);
    EXPECT_EQ(message["op"].asString(), "-p");
    EXPECT_EQ(message["progress"]["C"].asString(), expected[i]);
    EXPECT_EQ(message["progress"]["SYSVOL"].asString(), "SUCCESS");
  }
  EXPECT_EQ(restorePointToProgress.snapshot().at("C"), "100%");

  // One 100 ms pause per message, taken while the pipe is published.
  ASSERT_EQ(pauses_.size(), 3u);
  for (size_t i = 0; i < pauses_.size(); ++i) {
    EXPECT_EQ(pauses_[i], std::chrono::milliseconds(100));
    EXPECT_TRUE(pipeOpenDuringPause_[i]);
  }
}

TEST_F(ProgressTest, CancelBeforeTheFirstLineStillReportsThatLineThenStops) {
  cancelrestore = true;
  ProcessRestoreProgress("printf '10\\n55\\n100\\n'", "D");
  EXPECT_EQ(in.load(), nullptr);
  const auto texts = drainResponses();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(parse(texts[0])["progress"]["D"].asString(), "10%");
}

TEST_F(ProgressTest, AReaderWhoseRoundIsOverEndsWithItsChildWhetherItTalksOrNot) {
  for (const char* command : {"while :; do echo 50; sleep 0.05; done", "sleep 600", "exec sleep 600"}) {
    const unsigned round = currentProgressRound();
    std::atomic<bool> ended{false};
    std::thread reader([&] {
      ProcessRestoreProgress(command, "C", [round] { return progressRoundOver(round); });
      ended = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(ended) << command;
    const auto start = std::chrono::steady_clock::now();
    endProgressRound();
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << command;
    EXPECT_EQ(in.load(), nullptr);
  }
  std::string output;
  EXPECT_TRUE(runCommand("pgrep -f '[s]leep 600' || true", output).empty()) << "the child outlived its reader";
}

TEST_F(ProgressTest, OverlongLinesArriveInPieces) {
  // 600 characters: the first 511 make one piece, the remaining 89 another.
  ProcessRestoreProgress("head -c 600 /dev/zero | tr '\\0' 7; echo", "E");
  const auto texts = drainResponses();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(parse(texts[0])["progress"]["E"].asString(), std::string(511, '7') + "%");
  EXPECT_EQ(parse(texts[1])["progress"]["E"].asString(), std::string(89, '7') + "%");
}

TEST_F(ProgressTest, LateLinesDoNotReopenAFinishedDrive) {
  restorePointToProgress.set("C", "ERROR");
  restorePointToProgress.set("D", "SUCCESS");
  ProcessRestoreProgress("printf '97\\n'", "C");
  ProcessRestoreProgress("printf '98\\n'", "D");
  EXPECT_TRUE(drainResponses().empty());
  const auto table = restorePointToProgress.snapshot();
  EXPECT_EQ(table.at("C"), "ERROR");
  EXPECT_EQ(table.at("D"), "SUCCESS");
}

}  // namespace
