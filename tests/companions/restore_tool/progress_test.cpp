#include <sstream>

#include <gtest/gtest.h>

#include "download_progress.h"
#include "progress_printer.h"
#include "support/pause.h"
#include "support/text.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> lines(const std::ostringstream& out) {
  return split(out.str(), '\n');
}

struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  ProgressPrinter::Clock function() {
    return [this] { return now; };
  }
};

TEST(ProgressPrinter, PrintsChangedPercentagesAtMostOncePerInterval) {
  std::ostringstream out;
  FakeClock clock;
  ProgressPrinter progress(out, 1000, clock.function(), 300ms);
  progress.update(0);
  progress.update(5);     // 0% again: nothing
  progress.update(100);   // 10%, but too soon after the last line
  clock.now += 300ms;
  progress.update(450);   // 45%
  clock.now += 1s;
  progress.update(450);   // unchanged
  progress.update(999);   // 99%
  progress.update(1000);  // everything written, not yet flushed: stays 99%
  clock.now += 1s;
  progress.update(1000);
  progress.finish();
  progress.finish();
  EXPECT_EQ(lines(out), (std::vector<std::string>{"Restoring image: 0%", "Restoring image: 45%", "Restoring image: 99%",
                                                  "Restoring image: 100%"}));
}

TEST(ProgressPrinter, LinesCarryThePercentageAsLastWordAndNeverTheWordError) {
  std::ostringstream out;
  FakeClock clock;
  ProgressPrinter progress(out, 3, clock.function(), 0ms);
  for (uint64_t done = 0; done <= 3; ++done) {
    progress.update(done);
  }
  progress.finish();
  for (const std::string& line : lines(out)) {
    EXPECT_EQ(line.find("error"), std::string::npos);
    EXPECT_EQ(line.find("successfully"), std::string::npos);
    const std::string last = line.substr(line.find_last_of(' ') + 1);
    EXPECT_EQ(last.back(), '%') << line;
  }
  EXPECT_EQ(lines(out).size(), 5u);  // 0, 33, 66, 99 (held back until finish), 100
}

TEST(ProgressPrinter, EmptyImageEndsAtHundred) {
  std::ostringstream out;
  ProgressPrinter progress(out, 0);
  progress.update(0);
  progress.finish();
  EXPECT_EQ(lines(out), (std::vector<std::string>{"Restoring image: 99%", "Restoring image: 100%"}));
}

TEST(DownloadProgressReply, AcceptsOnlyPercentagesAndMinusOne) {
  EXPECT_EQ(parseDownloadProgress("0"), 0);
  EXPECT_EQ(parseDownloadProgress("100"), 100);
  EXPECT_EQ(parseDownloadProgress("-1"), -1);
  EXPECT_EQ(parseDownloadProgress(" 42\n"), 42);
  EXPECT_FALSE(parseDownloadProgress(""));
  EXPECT_FALSE(parseDownloadProgress("101"));
  EXPECT_FALSE(parseDownloadProgress("-2"));
  EXPECT_FALSE(parseDownloadProgress("42%"));
  EXPECT_FALSE(parseDownloadProgress("no channels available"));
}

class FollowDownload : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = setPauseFunction([this](std::chrono::milliseconds) { ++pauses_; });
  }
  void TearDown() override { setPauseFunction(previous_); }

  // Plays the answers in order, then keeps repeating the last one.
  int follow(std::vector<std::optional<int>> answers, DownloadProgressLimits limits = {}) {
    size_t next = 0;
    auto query = [&]() {
      ++queries_;
      const auto answer = answers[std::min(next, answers.size() - 1)];
      ++next;
      return answer;
    };
    return followDownloadProgress(query, out_, diagnostics_, limits);
  }

  std::ostringstream out_;
  std::ostringstream diagnostics_;
  int pauses_ = 0;
  int queries_ = 0;

private:
  PauseFunction previous_;
};

TEST_F(FollowDownload, PrintsEachChangeUntilHundred) {
  EXPECT_EQ(follow({-1, 0, 0, 12, 12, 12, 57, 100, 3}), 0);
  EXPECT_EQ(out_.str(), "0\n12\n57\n100\n");
  EXPECT_EQ(queries_, 8);
  EXPECT_TRUE(diagnostics_.str().empty());
}

TEST_F(FollowDownload, EndsWhenTheDownloadIsGoneAfterHavingRun) {
  EXPECT_EQ(follow({30, 31, -1, 50}), 0);
  EXPECT_EQ(out_.str(), "30\n31\n");
}

TEST_F(FollowDownload, GivesUpWhenNoDownloadStarts) {
  DownloadProgressLimits limits;
  limits.polls_until_started = 5;
  EXPECT_EQ(follow({-1}, limits), 1);
  EXPECT_EQ(queries_, 5);
  EXPECT_EQ(out_.str(), "");
  EXPECT_NE(diagnostics_.str().find("no image download started"), std::string::npos);
}

TEST_F(FollowDownload, GivesUpWhenTheServiceNeverAnswers) {
  DownloadProgressLimits limits;
  limits.polls_until_started = 4;
  EXPECT_EQ(follow({std::nullopt}, limits), 1);
  EXPECT_EQ(queries_, 4);
  EXPECT_EQ(out_.str(), "");
  EXPECT_NE(diagnostics_.str().find("did not answer"), std::string::npos);
}

TEST_F(FollowDownload, ToleratesShortSilenceButNotALostService) {
  DownloadProgressLimits limits;
  limits.polls_without_answer = 3;
  EXPECT_EQ(follow({10, std::nullopt, std::nullopt, 20, 100}, limits), 0);
  EXPECT_EQ(out_.str(), "10\n20\n100\n");

  out_.str("");
  queries_ = 0;
  EXPECT_EQ(follow({10, std::nullopt}, limits), 1);
  EXPECT_EQ(out_.str(), "10\n");
  EXPECT_EQ(queries_, 4);
  EXPECT_NE(diagnostics_.str().find("stopped answering"), std::string::npos);
}

TEST_F(FollowDownload, StopsWhenNobodyReadsAnyMore) {
  // The agent closes the pipe when the user cancels; the next line fails.
  out_.setstate(std::ios::badbit);
  EXPECT_EQ(follow({10, 20, 30, 100}), 1);
  EXPECT_EQ(queries_, 1);
}

TEST_F(FollowDownload, PausesBetweenPolls) {
  follow({5, 6, 100});
  EXPECT_EQ(pauses_, 2);
}

}  // namespace
