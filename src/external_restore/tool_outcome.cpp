#include "external_restore/tool_outcome.h"

#include <sys/wait.h>

bool isToolErrorLine(const std::string& line) {
  const auto start = line.find_first_not_of(" \t\r");
  return start != std::string::npos && line.compare(start, 6, "error:") == 0;
}

bool isToolSuccessLine(const std::string& line) { return line.find("successfully") != std::string::npos; }

bool toolStepSucceeded(int waitStatus, bool sawSuccessLine, bool sawErrorLine) {
  return waitStatus != -1 && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0 && sawSuccessLine &&
         !sawErrorLine;
}
