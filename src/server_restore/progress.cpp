#include "server_restore/progress.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <json/value.h>

#include "control/log_line.h"
#include "control/shared_state.h"
#include "control/durable_progress.h"
#include "support/pause.h"
#include "support/process_runner.h"

ProgressTable restorePointToProgress;

void ProgressTable::set(const std::string& key, const std::string& status) {
  const std::lock_guard lock(mutex_);
  statuses_[key] = status;
}

bool ProgressTable::setRunning(const std::string& key, const std::string& status) {
  const std::lock_guard lock(mutex_);
  const auto found = statuses_.find(key);
  if (found != statuses_.end() && (found->second == "SUCCESS" || found->second == "ERROR")) {
    return false;
  }
  statuses_[key] = status;
  return true;
}

void ProgressTable::clear() {
  const std::lock_guard lock(mutex_);
  statuses_.clear();
}

std::map<std::string, std::string> ProgressTable::snapshot() const {
  const std::lock_guard lock(mutex_);
  return statuses_;
}

void SendRestoreProgress() {
  Json::Value message;
  message["op"] = "-p";
  // A null "progress" (not an empty object) is what the user interface gets
  // for an empty table.
  message["progress"] = Json::Value::null;
  for (const auto& [key, status] : restorePointToProgress.snapshot()) {
    message["progress"][key] = status;
  }
  publishRunProgress(message.toStyledString());
}

namespace {

// The tool relays the service's count of blocks sent; the user is shown the
// part of them that is on the device.
std::string durablePercentText(const std::string& text) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) {
    return text;
  }
  return std::to_string(durableDownloadProgress.scale(std::stoi(text)));
}

std::atomic<unsigned> progressRound{0};

// The tool's lines are read as fgets with a 512-byte buffer gives them: a
// longer line arrives in pieces, each taken as a line of its own.
constexpr size_t kToolLinePiece = 511;

}  // namespace

unsigned currentProgressRound() { return progressRound; }

bool progressRoundOver(unsigned round) { return progressRound != round; }

void endProgressRound() { ++progressRound; }

int ProcessRestoreProgress(const std::string& command, const std::string& key, const std::function<bool()>& over) {
  ChildProcess child(shellCommand(command), ChildStdout::pipe, ChildLimits{over, std::nullopt});
  if (!child.started()) {
    return 0;
  }
  FILE* const handle = child.outputHandle();
  in = handle;
  const ChildProcess::Reading reading = child.readLines(
      [&](const std::string& line) {
        logLine(line);
        const std::string text = durablePercentText(line);
        if (restorePointToProgress.setRunning(key, text + "%")) {
          SendRestoreProgress();
          pauseFor(std::chrono::milliseconds(100));
        }
        return !(cancelrestore || (over && over()));
      },
      kToolLinePiece);
  // Only clear the handle if it is still ours: the reader of the next
  // partition may already have published its own pipe.
  FILE* expected = handle;
  in.compare_exchange_strong(expected, nullptr);
  const ChildExit exit = reading == ChildProcess::Reading::ended ? child.wait() : child.stop();
  return exit.waitStatus;
}
