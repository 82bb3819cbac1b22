#pragma once
// Running a helper program directly, without a shell, so that no path or
// device name handed to it is ever interpreted.
#include <string>
#include <vector>

// Runs `args` (args[0] looked up on PATH) and waits for it. False with `error`
// set when it cannot be started or does not exit with status 0. Its output
// goes to standard error, away from the lines the agent reads.
bool runProgram(const std::vector<std::string>& args, std::string& error);
