#pragma once
// Where adduser finds a user's password without taking it on its command
// line, where ps shows it to every user of the machine.
#include <istream>
#include <optional>
#include <string>

// The first line of `path` (of `standardInput` when `path` is "-"), without
// its line end. Nothing, with the cause in `error`, when the file cannot be
// read or holds nothing.
std::optional<std::string> readPasswordLine(const std::string& path, std::istream& standardInput,
                                            std::string& error);
