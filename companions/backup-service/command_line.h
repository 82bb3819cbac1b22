#pragma once
// "--name value" options and "--name" switches of one sub-command.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class CommandLine {
public:
  // False with a message in `error` for an unknown option or a missing value.
  bool parse(const std::vector<std::string>& args, const std::set<std::string>& value_options,
             const std::set<std::string>& switches, std::string& error);

  std::optional<std::string> value(const std::string& name) const;
  bool has(const std::string& name) const { return switches_.count(name) != 0; }
  // False with a message when present but not a whole number in [low, high].
  bool number(const std::string& name, long long low, long long high, std::optional<long long>& out,
              std::string& error) const;

private:
  std::map<std::string, std::string> values_;
  std::set<std::string> switches_;
};
