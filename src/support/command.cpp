#include "support/command.h"

#include <sys/wait.h>

#include "support/process_runner.h"
#include "support/text.h"

std::vector<std::string> runCommand(const std::string& command, std::string& output) {
  output = runChild(shellCommand(command)).output;
  return split(output, '\n');
}

bool CommandRun::exitedCleanly() const { return started && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

CommandRun runCommandWithStatus(const std::string& command) {
  const ChildRun child = runChild(shellCommand(command));
  CommandRun run;
  run.started = child.exit.how != ChildExit::How::notStarted;
  run.status = child.exit.waitStatus;
  run.lines = split(child.output, '\n');
  run.ending = child.exit.describe();
  return run;
}

int runSystem(const std::string& command) {
  return runChild(shellCommand(command), ChildStdout::inherit).exit.waitStatus;
}
