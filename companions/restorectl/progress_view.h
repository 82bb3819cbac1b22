#pragma once
// One progress bar per drive, fed with each progress table the agent sends.
// On a terminal the bars are redrawn in place; elsewhere (a log, a pipe) a
// plain line is written whenever a drive's status changes.
#include <cstddef>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "messages.h"

namespace restorectl {

// "45%" -> 45, "45.5%" -> 45.5 (clamped to 0..100); nullopt for other texts.
std::optional<double> percentOf(const std::string& status);

// The bar line of one drive, for example
//   drive C                       [#############-----------------]  45%
std::string progressLine(const std::string& progressKey, const std::string& status);

class ProgressView {
public:
  ProgressView(std::ostream& out, bool terminal);
  void update(const ProgressTable& table);

private:
  void redraw(const ProgressTable& table);
  void printChanges(const ProgressTable& table);

  std::ostream& out_;
  bool terminal_;
  std::size_t linesDrawn_ = 0;
  ProgressTable printed_;
};

}  // namespace restorectl
