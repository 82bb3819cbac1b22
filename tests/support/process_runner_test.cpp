#include "support/process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

Lines linesOf(ChildProcess& child, size_t longestPiece = std::numeric_limits<size_t>::max()) {
  Lines lines;
  EXPECT_EQ(child.readLines(
                [&](const std::string& line) {
                  lines.push_back(line);
                  return true;
                },
                longestPiece),
            ChildProcess::Reading::ended);
  return lines;
}

// Alive and not a zombie waiting for its parent.
bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) {
    return false;
  }
  const auto state = line.rfind(") ");
  return state != std::string::npos && line.at(state + 2) != 'Z';
}

TEST(ProcessRunner, ACancelStopsASilentChildAndWhatItStarted) {
  TempDir dir;
  const std::string pidFile = (dir.path() / "sleeper").string();
  std::atomic<bool> cancel{false};
  // The shell starts a sleep of its own and waits for it, printing nothing.
  ChildProcess child(shellCommand("sleep 600 & echo $! > '" + pidFile + "'; wait"), ChildStdout::pipe,
                     ChildLimits{[&] { return cancel.load(); }, std::nullopt});
  ASSERT_TRUE(child.started());
  Clock::time_point cancelledAt;
  std::thread canceller([&] {
    std::this_thread::sleep_for(300ms);
    cancelledAt = Clock::now();
    cancel = true;
  });
  Lines lines;
  const ChildProcess::Reading reading = child.readLines([&](const std::string& line) {
    lines.push_back(line);
    return true;
  });
  const ChildExit exit = child.stop();
  const auto stoppedAt = Clock::now();
  canceller.join();
  EXPECT_EQ(reading, ChildProcess::Reading::stopRequested);
  EXPECT_LT(stoppedAt - cancelledAt, 2s);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(exit.how, ChildExit::How::stopped);
  EXPECT_FALSE(exit.succeeded());
  EXPECT_TRUE(WIFSIGNALED(exit.waitStatus));

  pid_t sleeper = 0;
  std::ifstream(pidFile) >> sleeper;
  ASSERT_GT(sleeper, 0);
  const auto deadline = Clock::now() + 2s;
  while (running(sleeper) && Clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(running(sleeper)) << "the grandchild outlived the stop";
}

TEST(ProcessRunner, ACancelAlsoEndsTheWaitForAChildThatClosedItsOutput) {
  std::atomic<bool> cancel{false};
  ChildProcess child(shellCommand("exec >&-; sleep 600"), ChildStdout::pipe,
                     ChildLimits{[&] { return cancel.load(); }, std::nullopt});
  EXPECT_TRUE(linesOf(child).empty());
  Clock::time_point cancelledAt;
  std::thread canceller([&] {
    std::this_thread::sleep_for(200ms);
    cancelledAt = Clock::now();
    cancel = true;
  });
  const ChildExit exit = child.wait();
  const auto stoppedAt = Clock::now();
  canceller.join();
  EXPECT_EQ(exit.how, ChildExit::How::stopped);
  EXPECT_LT(stoppedAt - cancelledAt, 2s);
}

TEST(ProcessRunner, ATimeLimitEndsASilentChild) {
  for (const ChildStdout output : {ChildStdout::pipe, ChildStdout::inherit}) {
    const auto start = Clock::now();
    const ChildRun run = runChild(shellCommand("sleep 600"), output, ChildLimits{{}, 200ms});
    EXPECT_EQ(run.exit.how, ChildExit::How::timedOut);
    EXPECT_GE(Clock::now() - start, 200ms);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(run.exit.describe(), "was stopped at its time limit");
  }
  // A child that ends in time is reported as it ended.
  const ChildRun quick = runChild(shellCommand("echo done"), ChildStdout::pipe, ChildLimits{{}, 60s});
  EXPECT_TRUE(quick.exit.succeeded());
  EXPECT_EQ(quick.output, "done\n");
}

TEST(ProcessRunner, ReportsHowTheChildEnded) {
  const ChildExit failed = runChild(shellCommand("echo partial; exit 3")).exit;
  EXPECT_EQ(failed.how, ChildExit::How::exited);
  EXPECT_EQ(failed.code, 3);
  EXPECT_TRUE(WIFEXITED(failed.waitStatus));
  EXPECT_EQ(WEXITSTATUS(failed.waitStatus), 3);
  EXPECT_FALSE(failed.succeeded());
  EXPECT_EQ(failed.describe(), "failed with exit status 3");

  const ChildExit killed = runChild(shellCommand("kill -9 $$")).exit;
  EXPECT_EQ(killed.how, ChildExit::How::killedBySignal);
  EXPECT_EQ(killed.code, SIGKILL);
  EXPECT_FALSE(killed.succeeded());
  EXPECT_EQ(killed.describe().rfind("was killed by signal 9", 0), 0u) << killed.describe();

  const ChildExit missing = runChild({"./no-such-program-here"}).exit;
  EXPECT_EQ(missing.how, ChildExit::How::notStarted);
  EXPECT_EQ(missing.waitStatus, -1);
  EXPECT_EQ(missing.describe(), "could not be started: cannot run ./no-such-program-here: No such file or directory");

  // An argument vector reaches the program word for word, with no shell.
  const ChildRun echoed = runChild({"printf", "%s|", "$(id)", "a b"});
  EXPECT_TRUE(echoed.exit.succeeded());
  EXPECT_EQ(echoed.output, "$(id)|a b|");
}

TEST(ProcessRunner, LinesArriveInOrderIncludingEmptyOnesAndALastOneWithoutNewline) {
  ChildProcess child(shellCommand("printf 'one\\n\\nthree\\n'; sleep 0.1; printf 'four\\nla'; sleep 0.1; printf st"),
                     ChildStdout::pipe);
  EXPECT_EQ(linesOf(child), (Lines{"one", "", "three", "four", "last"}));
  EXPECT_TRUE(child.wait().succeeded());

  // 5000 lines over many reads, none lost or reordered.
  ChildProcess many(shellCommand("seq 1 5000"), ChildStdout::pipe);
  const Lines counted = linesOf(many);
  ASSERT_EQ(counted.size(), 5000u);
  for (size_t i = 0; i < counted.size(); ++i) {
    ASSERT_EQ(counted[i], std::to_string(i + 1));
  }
  EXPECT_TRUE(many.wait().succeeded());
}

TEST(ProcessRunner, OverlongLinesArriveInPiecesAsFgetsCutsThem) {
  // With 511 characters to a piece, newline counted: 510 characters and their
  // newline fit; 511 leave the newline for a piece of its own.
  const std::string command = "printf '%s\\n%s\\n%s\\n' " + std::string(510, 'a') + " " + std::string(511, 'b') + " " +
                              std::string(1100, 'c');
  ChildProcess child(shellCommand(command), ChildStdout::pipe);
  EXPECT_EQ(linesOf(child, 511), (Lines{std::string(510, 'a'), std::string(511, 'b'), "", std::string(511, 'c'),
                                        std::string(511, 'c'), std::string(78, 'c')}));
}

TEST(ProcessRunner, AReaderThatQuitsCanStopATalkativeChild) {
  ChildProcess child(shellCommand("while :; do echo tick; done"), ChildStdout::pipe);
  int seen = 0;
  EXPECT_EQ(child.readLines([&](const std::string& line) {
    EXPECT_EQ(line, "tick");
    return ++seen < 3;
  }),
            ChildProcess::Reading::quitByReader);
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(child.stop().how, ChildExit::How::stopped);
}

TEST(ProcessRunner, TheOutputHandleIsPublishedOnlyWhileReading) {
  ChildProcess child(shellCommand("echo x"), ChildStdout::pipe);
  EXPECT_NE(child.outputHandle(), nullptr);
  linesOf(child);
  EXPECT_TRUE(child.wait().succeeded());
  EXPECT_EQ(child.outputHandle(), nullptr);

  ChildProcess inherited(shellCommand("true"), ChildStdout::inherit);
  EXPECT_EQ(inherited.outputHandle(), nullptr);
  EXPECT_TRUE(inherited.wait().succeeded());
}

TEST(ProcessRunner, TheChildInheritsOnlyItsStandardDescriptors) {
  // Opened without close-on-exec, as a careless caller or library might.
  const int stray = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 0);
  const ChildRun run = runChild(shellCommand("ls /proc/$$/fd"));
  ::close(stray);
  EXPECT_TRUE(run.exit.succeeded());
  EXPECT_EQ(run.output, "0\n1\n2\n");
}

TEST(ProcessRunner, DroppingARunningChildEndsIt) {
  TempDir dir;
  const std::string pidFile = (dir.path() / "child").string();
  pid_t pid = 0;
  {
    ChildProcess child(shellCommand("echo $$ > '" + pidFile + "'; echo ready; exec sleep 600"), ChildStdout::pipe);
    child.readLines([](const std::string&) { return false; });
    std::ifstream(pidFile) >> pid;
  }
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(running(pid));
}

}  // namespace
