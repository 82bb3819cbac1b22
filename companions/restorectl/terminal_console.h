#pragma once
// The console of a rescue machine: passwords are read from the controlling
// terminal with echo off, confirmations from standard input, and the first
// Ctrl-C is caught so that a running restore can be cancelled politely (a
// second one ends the program at once).
#include "console.h"

namespace restorectl {

class TerminalConsole final : public Console {
public:
  TerminalConsole();
  std::optional<std::string> askPassword(const std::string& prompt) override;
  bool confirm(const std::string& question) override;
  bool interrupted() override;
};

}  // namespace restorectl
