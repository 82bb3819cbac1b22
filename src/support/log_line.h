#pragma once
#include <string>

// Writes `line` and a line feed to standard output as one piece and flushes,
// so that lines from the I/O thread, the pump and the sessions never
// interleave and a log file read while the agent runs is always current.
void logLine(const std::string& line);
