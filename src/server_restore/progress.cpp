#include "server_restore/progress.h"

#include <cstdio>
#include <cstring>

#include <json/value.h>

#include "control/log_line.h"
#include "control/queues.h"
#include "control/shared_state.h"
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

int ProcessRestoreProgress(const std::string& command, const std::string& key) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return 0;
  }
  in = pipe;
  // 512 bytes including the terminator: a longer line arrives in pieces, and
  // each piece counts as a line of its own.
  char line[512];
  while (fgets(line, sizeof(line), pipe) != nullptr) {
    std::string text(line);
    const auto newline = text.find('\n');
    if (newline != std::string::npos) {
      text.erase(newline);
    }
    logLine(text);
    if (restorePointToProgress.setRunning(key, text + "%")) {
      SendRestoreProgress();
      pauseFor(std::chrono::milliseconds(100));
    }
    if (cancelrestore) {
      break;
    }
  }
  const int status = pclose(pipe);
  // Only clear the handle if it is still ours: the reader of the next
  // partition may already have published its own pipe.
  in.compare_exchange_strong(pipe, nullptr);
  return status;
}
