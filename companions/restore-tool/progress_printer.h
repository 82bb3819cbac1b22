#pragma once
// Progress lines for the agent, which reads the tool's output line by line and
// takes the last blank-separated word of a line holding "%" as the progress.
// The agent pauses 100 ms after every line it reads, so lines are rationed: a
// new line only when the percentage changed and a moment has passed since the
// last one; otherwise a fast restore would fill the pipe and wait on the agent.
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

class ProgressPrinter {
public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  ProgressPrinter(std::ostream& out, uint64_t total, Clock clock = std::chrono::steady_clock::now,
                  std::chrono::milliseconds min_interval = std::chrono::milliseconds(300),
                  std::string label = "Restoring image:");

  // Reports `done` of `total` bytes. 100% is held back until finish(), so the
  // last line appears only once the data is really on the device.
  void update(uint64_t done);
  void finish();
  // The reader of the lines has gone (the agent closes the pipe when the user
  // cancels); the work should stop.
  bool readerGone() const { return out_.fail(); }

private:
  void print(int percent);

  std::ostream& out_;
  uint64_t total_;
  Clock clock_;
  std::chrono::milliseconds min_interval_;
  std::string label_;
  int last_percent_ = -1;
  std::chrono::steady_clock::time_point last_time_{};
};
