#pragma once
// Where restorectl finds the service password and the agent's token without
// putting them on its command line, where ps shows them to every user.
#include <filesystem>
#include <istream>
#include <optional>
#include <string>

namespace restorectl {

// The first line of `path`, or of `standardInput` when `path` is "-".
std::optional<std::string> readSecretLine(const std::string& path, std::istream& standardInput, std::string& error);

// The token that a restore-agent running on this machine keeps in its
// working directory, found through `proc` (the /proc file system). Only root
// may read it.
std::optional<std::string> localAgentToken(const std::filesystem::path& proc = "/proc");

}  // namespace restorectl
