#include "progress_view.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "sentences.h"

namespace restorectl {
namespace {

constexpr std::size_t kBarWidth = 30;
constexpr std::size_t kNameWidth = 28;

std::string capitalised(std::string text) {
  if (!text.empty()) {
    text.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
  }
  return text;
}

std::string statusWord(const std::string& status) {
  if (status.empty()) {
    return "waiting";
  }
  if (status == "SUCCESS") {
    return "done";
  }
  if (status == "ERROR") {
    return "FAILED";
  }
  return status;
}

std::string bar(double fraction) {
  const auto filled = static_cast<std::size_t>(std::floor(fraction * kBarWidth));
  return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "]";
}

}  // namespace

std::optional<double> percentOf(const std::string& status) {
  if (status.size() < 2 || status.back() != '%') {
    return std::nullopt;
  }
  double value = 0;
  const char* end = status.data() + status.size() - 1;
  const auto [stop, error] = std::from_chars(status.data(), end, value);
  if (error != std::errc() || stop != end || std::isnan(value)) {
    return std::nullopt;
  }
  return std::clamp(value, 0.0, 100.0);
}

std::string progressLine(const std::string& progressKey, const std::string& status) {
  std::string name = capitalised(driveName(progressKey));
  if (name.size() < kNameWidth) {
    name.resize(kNameWidth, ' ');
  }
  double fraction = 0;
  if (status == "SUCCESS") {
    fraction = 1;
  } else if (const auto percent = percentOf(status)) {
    fraction = *percent / 100.0;
  }
  return name + " " + bar(fraction) + " " + statusWord(status);
}

ProgressView::ProgressView(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

void ProgressView::update(const ProgressTable& table) {
  if (terminal_) {
    redraw(table);
  } else {
    printChanges(table);
  }
  out_.flush();
}

void ProgressView::redraw(const ProgressTable& table) {
  if (linesDrawn_ > 0) {
    out_ << "\x1b[" << linesDrawn_ << "F";  // back to the first bar
  }
  for (const auto& [key, status] : table) {
    out_ << "\x1b[2K" << progressLine(key, status) << '\n';
  }
  // A table with fewer drives than the last one leaves no stale bars behind.
  for (std::size_t i = table.size(); i < linesDrawn_; ++i) {
    out_ << "\x1b[2K\n";
  }
  linesDrawn_ = std::max(linesDrawn_, table.size());
}

void ProgressView::printChanges(const ProgressTable& table) {
  for (const auto& [key, status] : table) {
    const auto previous = printed_.find(key);
    if (previous != printed_.end() && previous->second == status) {
      continue;
    }
    out_ << capitalised(driveName(key)) << ": " << statusWord(status) << '\n';
    printed_[key] = status;
  }
}

}  // namespace restorectl
