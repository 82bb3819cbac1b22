#include "password_input.h"

#include <cerrno>
#include <cstring>
#include <fstream>

std::optional<std::string> readPasswordLine(const std::string& path, std::istream& standardInput,
                                            std::string& error) {
  const bool fromInput = path == "-";
  std::ifstream file;
  if (!fromInput) {
    file.open(path);
    if (!file) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      return std::nullopt;
    }
  }
  std::istream& in = fromInput ? standardInput : file;
  std::string line;
  if (!std::getline(in, line) && line.empty()) {
    error = "nothing to read in " + (fromInput ? std::string("standard input") : path);
    return std::nullopt;
  }
  // Written on Windows, or typed at a terminal in raw mode.
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return line;
}
