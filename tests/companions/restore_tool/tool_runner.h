#pragma once
// Runs the built restore tool as the agent does, with standard output and
// standard error kept apart (the agent reads only the first).
#include <string>
#include <vector>

struct ToolRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
  std::vector<std::string> lines() const;
};

// Runs the tool with `args` in the current working directory, without a shell.
ToolRun runTool(const std::vector<std::string>& args);

// Starts the tool with `args` and returns its process id (-1 when it could not
// be started); its standard output can be read from `*out`, which the caller
// closes.
int startTool(const std::vector<std::string>& args, int* out);
