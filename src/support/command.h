#pragma once
// Running shell commands and capturing their standard output.
#include <string>
#include <vector>

// Runs `command` through the shell; `output` receives everything it printed on
// standard output. Returns the non-empty lines of that output. The exit status
// is not looked at.
std::vector<std::string> runCommand(const std::string& command, std::string& output);

// Runs `command` through the platform's system call and returns its raw status.
int runSystem(const std::string& command);

// What a command printed and how it ended.
struct CommandRun {
  bool started = false;
  // The raw status from pclose; meaningful only when started.
  int status = -1;
  std::vector<std::string> lines;

  // Started, ended by itself (not by a signal) with exit status 0.
  bool exitedCleanly() const;
};

// Like runCommand, but keeps the exit status.
CommandRun runCommandWithStatus(const std::string& command);
