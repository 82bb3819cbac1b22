#pragma once
// Starting programs: the one way the agent and its companions run children.
// A child gets an argument vector (or a shell text through sh -c), a process
// group of its own and no descriptor of ours beyond its standard ones. Its
// output is read through poll, so a stop request or a time limit ends it
// within a fraction of a second even while it prints nothing, and how it
// ended is reported rather than guessed.
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/unique_fd.h"

// The argument vector that runs `text` through /bin/sh, as popen and system
// do: pipes and redirections inside the text work.
std::vector<std::string> shellCommand(const std::string& text);

// How a child ended.
struct ChildExit {
  // unknown: it ended, but its status could not be collected.
  enum class How { notStarted, exited, killedBySignal, stopped, timedOut, unknown };
  How how = How::notStarted;
  // The exit code (exited) or the signal (killedBySignal, and stopped or
  // timedOut when the stop signal ended it).
  int code = -1;
  // The status as waitpid, pclose and system give it; -1 when not started.
  int waitStatus = -1;
  // Why it could not be started (or its status not collected), with the
  // errno text.
  std::string error;

  bool succeeded() const { return how == How::exited && code == 0; }
  // What happened, to follow the program's name: "failed with exit status
  // 3", "was killed by signal 9 (Killed)", "could not be started: ...".
  std::string describe() const;
};

// Where the child's standard output goes.
enum class ChildStdout { pipe, inherit, toStderr };

// What ends a child before it ends by itself.
struct ChildLimits {
  // Asked at least every 50 ms while the caller waits for the child; true
  // stops it.
  std::function<bool()> stopRequested;
  // Counted from the start.
  std::optional<std::chrono::milliseconds> timeLimit;
};

class ChildProcess {
public:
  ChildProcess(const std::vector<std::string>& argv, ChildStdout output, ChildLimits limits = {});
  // A child still running is stopped and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return started_; }
  // The failure to start, when started() is false.
  const ChildExit& startFailure() const { return exit_; }

  // The read end of the output pipe as a stream handle, to publish that a
  // child's output is being read; not for reading. Valid until wait() or
  // stop(); null unless the output is piped.
  FILE* outputHandle() const { return output_; }

  enum class Reading { ended, quitByReader, stopRequested, timedOut };
  // Hands each output line, without its newline, to `onLine` in order; a last
  // line without a newline too. A piece holds at most `longestPiece`
  // characters, its newline counted (fgets with a buffer one larger cuts lines
  // the same way), so a longer line arrives in pieces. Returns at the end of
  // the output, when `onLine` returns false, or at a stop request or the time
  // limit. Those are looked at between reads, not between the lines of one
  // read: a reader sees every line already read.
  Reading readLines(const std::function<bool(const std::string&)>& onLine,
                    size_t longestPiece = std::numeric_limits<size_t>::max());
  // Appends everything the child prints to `output`.
  Reading readAll(std::string& output);

  // Closes our end of the output (a child that still writes then fails, as
  // after pclose) and waits for the child to exit, still stopping it at a
  // stop request or the time limit.
  ChildExit wait();
  // Ends the child's process group now: SIGTERM, SIGKILL if it is still there
  // 100 ms later. How::timedOut when the time limit ended the reading or the
  // wait, How::stopped otherwise; a child that had already ended by itself is
  // reported as it ended.
  ChildExit stop();

private:
  Reading pump(const std::function<bool()>& deliver);
  std::optional<Reading> limitReached() const;
  int nextLookMs() const;
  void readSome();
  bool exitedWithin(int timeoutMs);
  ChildExit reap(ChildExit::How how);
  void closeOutput();

  ChildLimits limits_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool started_ = false;
  pid_t pid_ = -1;
  UniqueFd pidFd_;
  FILE* output_ = nullptr;
  std::string buffer_;
  bool endOfOutput_ = false;
  // The limit that ended a reading or a wait.
  std::optional<Reading> limitHit_;
  ChildExit exit_;
};

// What a child printed on a piped standard output, and how it ended.
struct ChildRun {
  ChildExit exit;
  std::string output;
};

// Runs `argv` to its end (or to the stop request or time limit).
ChildRun runChild(const std::vector<std::string>& argv, ChildStdout output = ChildStdout::pipe,
                  ChildLimits limits = {});
