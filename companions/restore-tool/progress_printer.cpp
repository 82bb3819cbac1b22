#include "progress_printer.h"

#include <algorithm>

ProgressPrinter::ProgressPrinter(std::ostream& out, uint64_t total, Clock clock, std::chrono::milliseconds min_interval,
                                 std::string label)
    : out_(out), total_(total), clock_(std::move(clock)), min_interval_(min_interval), label_(std::move(label)) {}

void ProgressPrinter::update(uint64_t done) {
  int percent = 99;
  if (total_ > 0 && done < total_) {
    percent = static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total_));
  }
  percent = std::min(percent, 99);
  if (percent == last_percent_) {
    return;
  }
  if (last_percent_ >= 0 && clock_() - last_time_ < min_interval_) {
    return;
  }
  print(percent);
}

void ProgressPrinter::finish() {
  if (last_percent_ != 100) {
    print(100);
  }
}

void ProgressPrinter::print(int percent) {
  last_percent_ = percent;
  last_time_ = clock_();
  out_ << label_ << " " << percent << "%" << std::endl;
}
