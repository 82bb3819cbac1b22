#include "command_line.h"

#include "requests.h"

bool CommandLine::parse(const std::vector<std::string>& args, const std::set<std::string>& value_options,
                        const std::set<std::string>& switches, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (switches.count(arg) != 0) {
      switches_.insert(arg);
    } else if (value_options.count(arg) != 0) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      values_[arg] = args[++i];
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

std::optional<std::string> CommandLine::value(const std::string& name) const {
  const auto found = values_.find(name);
  if (found == values_.end()) {
    return std::nullopt;
  }
  return found->second;
}

bool CommandLine::number(const std::string& name, long long low, long long high, std::optional<long long>& out,
                         std::string& error) const {
  const auto text = value(name);
  if (!text) {
    return true;
  }
  int64_t parsed = 0;
  if (!parseInteger(*text, parsed) || parsed < low || parsed > high) {
    error = name + " wants a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    return false;
  }
  out = parsed;
  return true;
}
