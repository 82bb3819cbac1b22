#include "support/command.h"

#include <cstdio>
#include <cstdlib>

#include <sys/wait.h>

#include "support/text.h"

namespace {

// Reads everything `pipe` delivers into `output` and returns pclose's status.
int readAll(FILE* pipe, std::string& output) {
  char block[4096];
  for (;;) {
    const size_t got = fread(block, 1, sizeof(block), pipe);
    output.append(block, got);
    if (got < sizeof(block)) {
      break;
    }
  }
  return pclose(pipe);
}

}  // namespace

std::vector<std::string> runCommand(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return {};
  }
  readAll(pipe, output);
  return split(output, '\n');
}

bool CommandRun::exitedCleanly() const { return started && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

CommandRun runCommandWithStatus(const std::string& command) {
  CommandRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return run;
  }
  run.started = true;
  std::string output;
  run.status = readAll(pipe, output);
  run.lines = split(output, '\n');
  return run;
}

int runSystem(const std::string& command) {
  return std::system(command.c_str());
}
