#pragma once
// Shell commands whose texts the callers compose, run through the process
// runner: their standard output captured, or left on the agent's own.
#include <string>
#include <vector>

// Runs `command` through the shell; `output` receives everything it printed on
// standard output. Returns the non-empty lines of that output. The exit status
// is not looked at.
std::vector<std::string> runCommand(const std::string& command, std::string& output);

// Runs `command` through the shell with the agent's standard output and
// returns its raw wait status as system does (-1 when it could not be
// started).
int runSystem(const std::string& command);

// What a command printed and how it ended.
struct CommandRun {
  bool started = false;
  // The raw wait status, as pclose gives it; meaningful only when started.
  int status = -1;
  std::vector<std::string> lines;
  // How it ended, for a log line: "failed with exit status 2", "could not be
  // started: cannot run /bin/sh: Resource temporarily unavailable", ...
  std::string ending;

  // Started, ended by itself (not by a signal) with exit status 0.
  bool exitedCleanly() const;
};

// Like runCommand, but keeps the exit status.
CommandRun runCommandWithStatus(const std::string& command);
