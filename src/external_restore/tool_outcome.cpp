#include "external_restore/tool_outcome.h"

#include <sys/wait.h>

bool isToolErrorLine(const std::string& line) { return line.find("error") != std::string::npos; }

bool isToolSuccessLine(const std::string& line) { return line.find("successfully") != std::string::npos; }

bool toolStepSucceeded(int waitStatus, bool sawSuccessLine, bool sawErrorLine) {
  return waitStatus != -1 && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0 && sawSuccessLine &&
         !sawErrorLine;
}
