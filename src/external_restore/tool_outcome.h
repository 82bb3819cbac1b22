#pragma once
// How the agent judges what the restore tool reported about a write.
#include <string>

// The tool reports failures as lines that begin with "error:"; a line that
// merely holds the word ("0 errors", a file called "error.vhd") is none.
bool isToolErrorLine(const std::string& line);

// The line the tool prints once a partition table or an image is written.
bool isToolSuccessLine(const std::string& line);

// A write succeeded only when the tool exited by itself with status 0
// (`waitStatus` as waitpid gives it) and printed its success line: a tool
// killed by the kernel, or refused by sudo, prints neither.
bool toolStepSucceeded(int waitStatus, bool sawSuccessLine, bool sawErrorLine);
