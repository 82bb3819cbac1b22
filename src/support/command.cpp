#include "support/command.h"

#include <cstdio>
#include <cstdlib>

#include "support/text.h"

std::vector<std::string> runCommand(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return {};
  }
  char block[4096];
  for (;;) {
    const size_t got = fread(block, 1, sizeof(block), pipe);
    output.append(block, got);
    if (got < sizeof(block)) {
      break;
    }
  }
  pclose(pipe);
  return split(output, '\n');
}

int runSystem(const std::string& command) {
  return std::system(command.c_str());
}
