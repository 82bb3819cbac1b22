#include "secrets.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

namespace restorectl {

std::optional<std::string> readSecretLine(const std::string& path, std::istream& standardInput, std::string& error) {
  std::ifstream file;
  if (path != "-") {
    file.open(path);
    if (!file) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      return std::nullopt;
    }
  }
  std::istream& in = path == "-" ? standardInput : file;
  std::string line;
  if (!std::getline(in, line) && line.empty()) {
    error = "nothing to read in " + std::string(path == "-" ? "standard input" : path);
    return std::nullopt;
  }
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return line;
}

std::optional<std::string> localAgentToken(const std::filesystem::path& proc) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(proc, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::error_code linkError;
    const std::filesystem::path program = std::filesystem::read_symlink(entry.path() / "exe", linkError);
    if (linkError || program.filename() != "restore-agent") {
      continue;
    }
    std::ifstream file(entry.path() / "cwd" / "access-token");
    std::string token;
    if (file && std::getline(file, token) && !token.empty()) {
      return token;
    }
  }
  return std::nullopt;
}

}  // namespace restorectl
