#pragma once
// What restorectl needs from the person at the console: a password, a yes or
// no, and whether Ctrl-C was pressed. Tests script it.
#include <optional>
#include <string>

namespace restorectl {

class Console {
public:
  virtual ~Console() = default;
  // Asks without echoing the answer. nullopt when there is no terminal to ask
  // on or the input ended.
  virtual std::optional<std::string> askPassword(const std::string& prompt) = 0;
  // True only when the person answers "yes".
  virtual bool confirm(const std::string& question) = 0;
  // True once for each Ctrl-C pressed since the last call.
  virtual bool interrupted() = 0;
};

}  // namespace restorectl
