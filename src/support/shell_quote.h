#pragma once
#include <string>

// Returns `value` as one shell word: wrapped in single quotes, with every
// single quote inside written as '\''. Every value that reaches a command line
// from outside the program (a path from the user interface, a device or file
// name found on a drive) goes through this.
std::string shellQuote(const std::string& value);
