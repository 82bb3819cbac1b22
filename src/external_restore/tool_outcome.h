#pragma once
// How the agent judges what the restore tool reported about a write.
#include <string>

// Any tool may stand in for ours, and the one thing every tool promises
// about a failure is the word "error" in lower case somewhere in a line
// ("Write error on device", "ioerror"); a line of capitals ("ERROR") is not
// one.
bool isToolErrorLine(const std::string& line);

// The line the tool prints once an image is written.
bool isToolSuccessLine(const std::string& line);

// A write succeeded only when the tool exited by itself with status 0
// (`waitStatus` as waitpid gives it) and printed its success line: a tool
// killed by the kernel, or refused by sudo, prints neither.
bool toolStepSucceeded(int waitStatus, bool sawSuccessLine, bool sawErrorLine);
