#pragma once
// Failure texts of system calls: what was attempted and the system's reason,
// "cannot open /dev/x: Device or resource busy". The user interface keeps its
// own short words; these go to the log and to the restore tool's output.
#include <string>

// `what` followed by the text of the current errno. Call it right after the
// failed call, before anything else can change errno.
std::string systemError(const std::string& what);
// `what` followed by the text of `code`.
std::string systemError(const std::string& what, int code);
