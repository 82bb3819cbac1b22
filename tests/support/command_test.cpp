#include "support/command.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "support/pause.h"
#include "support/shell_quote.h"

using Lines = std::vector<std::string>;

TEST(RunCommand, DropsEmptyLinesButKeepsAllBytes) {
  std::string output;
  EXPECT_EQ(runCommand("printf 'a\\n\\nb\\n'", output), (Lines{"a", "b"}));
  EXPECT_EQ(output, "a\n\nb\n");
}

TEST(RunCommand, FailingOrSilentCommandsGiveNothing) {
  std::string output = "stale";
  EXPECT_TRUE(runCommand("exit 3", output).empty());
  EXPECT_EQ(output, "");
  EXPECT_TRUE(runCommand("true", output).empty());
}

TEST(RunCommand, CapturesOutputLongerThanOneBlock) {
  std::string output;
  const Lines lines = runCommand("seq 1 5000", output);
  ASSERT_EQ(lines.size(), 5000u);
  EXPECT_EQ(lines.front(), "1");
  EXPECT_EQ(lines.back(), "5000");
  EXPECT_GT(output.size(), 4096u * 5);
}

TEST(RunSystem, ReturnsTheRawStatus) {
  EXPECT_EQ(runSystem("true"), 0);
  const int status = runSystem("exit 7");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(RunCommandWithStatus, TellsACleanExitFromAFailureOrAKill) {
  const CommandRun clean = runCommandWithStatus("echo written; exit 0");
  EXPECT_TRUE(clean.exitedCleanly());
  EXPECT_EQ(clean.lines, Lines{"written"});

  const CommandRun failed = runCommandWithStatus("echo written; exit 2");
  EXPECT_TRUE(failed.started);
  EXPECT_FALSE(failed.exitedCleanly());
  EXPECT_EQ(failed.lines, Lines{"written"});
  EXPECT_EQ(failed.ending, "failed with exit status 2");

  const CommandRun killed = runCommandWithStatus("echo written; kill -9 $$");
  EXPECT_FALSE(killed.exitedCleanly());
  EXPECT_TRUE(WIFSIGNALED(killed.status));
}

TEST(ShellQuote, HostileTextStaysOneInertWord) {
  TempDir dir;
  const std::string marker = (dir.path() / "executed").string();
  const std::string hostile = "$(touch " + marker + ")`touch " + marker + "`;touch " + marker + " 'q' \"d\"";
  std::string output;
  const Lines lines = runCommand("printf '%s\\n' " + shellQuote(hostile), output);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], hostile);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(shellQuote(""), "''");
}

TEST(Pause, ReplaceableSeamRecordsRequestsAndRestores) {
  std::vector<std::chrono::milliseconds> seen;
  PauseFunction previous = setPauseFunction([&](std::chrono::milliseconds d) { seen.push_back(d); });
  pauseFor(std::chrono::seconds(10));
  pauseFor(std::chrono::milliseconds(5));
  setPauseFunction(previous);
  EXPECT_EQ(seen, (std::vector<std::chrono::milliseconds>{std::chrono::seconds(10), std::chrono::milliseconds(5)}));
}
