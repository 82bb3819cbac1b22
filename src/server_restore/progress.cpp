#include "server_restore/progress.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <json/value.h>

#include "control/log_line.h"
#include "control/queues.h"
#include "control/shared_state.h"
#include "control/durable_progress.h"
#include "support/child_output.h"
#include "support/pause.h"

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
  resp_queue.push(message.toStyledString());
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

constexpr std::chrono::milliseconds kSilenceCheck(200);

}  // namespace

unsigned currentProgressRound() { return progressRound; }

bool progressRoundOver(unsigned round) { return progressRound != round; }

void endProgressRound() { ++progressRound; }

int ProcessRestoreProgress(const std::string& command, const std::string& key, const std::function<bool()>& over) {
  ChildOutput child(command);
  if (!child.started()) {
    return 0;
  }
  FILE* const handle = child.handle();
  in = handle;
  bool stopped = false;
  std::string piece;
  for (;;) {
    const ChildOutput::Read read = child.next(piece, kSilenceCheck);
    if (read == ChildOutput::Read::ended) {
      break;
    }
    if (read == ChildOutput::Read::waiting) {
      if (over && over()) {
        stopped = true;
        break;
      }
      continue;
    }
    // A piece is a line cut at its newline, or 511 characters of a longer one.
    std::string text = piece.substr(0, piece.find('\n'));
    logLine(text);
    text = durablePercentText(text);
    if (restorePointToProgress.setRunning(key, text + "%")) {
      SendRestoreProgress();
      pauseFor(std::chrono::milliseconds(100));
    }
    if (cancelrestore || (over && over())) {
      stopped = true;
      break;
    }
  }
  // Only clear the handle if it is still ours: the reader of the next
  // partition may already have published its own pipe.
  FILE* expected = handle;
  in.compare_exchange_strong(expected, nullptr);
  if (stopped) {
    child.stop();
  }
  return child.close();
}
