#include "external_restore/image_writer.h"

#include <chrono>
#include <cstdio>

#include "control/log_line.h"
#include "control/shared_state.h"
#include "external_restore/tool_outcome.h"
#include "server_restore/progress.h"
#include "support/pause.h"

namespace {

// The last blank-separated word of the line's text up to its first newline.
std::string percentageOf(const std::string& piece) {
  const std::string text = piece.substr(0, piece.find('\n'));
  const auto blank = text.rfind(' ');
  return blank == std::string::npos ? text : text.substr(blank + 1);
}

int closePipe(FILE* pipe) {
  const int status = pclose(pipe);
  // Cleared only while it is still ours, as the server restore's progress
  // reader does with the same handle.
  in.compare_exchange_strong(pipe, nullptr);
  return status;
}

void markFailed(const std::string& key) {
  restorePointToProgress.set(key, "ERROR");
  SendRestoreProgress();
}

}  // namespace

int DownloadImageFromExtDrive(const std::string& command, const std::string& key) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    logLine("Cannot start " + command);
    return 0;
  }
  in = pipe;

  bool succeeded = false;
  // 512 bytes including the terminator: longer lines arrive in pieces, each
  // handled as a line of its own.
  char line[512];
  while (fgets(line, sizeof(line), pipe) != nullptr) {
    const std::string piece = line;
    logLine(piece.substr(0, piece.find('\n')));
    if (isToolErrorLine(piece)) {
      markFailed(key);
      closePipe(pipe);
      return 0;
    }
    succeeded = isToolSuccessLine(piece);
    if (succeeded) {
      restorePointToProgress.set(key, "SUCCESS");
    } else if (piece.find('%') != std::string::npos) {
      restorePointToProgress.set(key, percentageOf(piece));
    } else {
      restorePointToProgress.set(key, "");
    }

    if (cancelrestore) {
      logLine("Restore is cancelled... ");
      closePipe(pipe);
      return 1;
    }
    SendRestoreProgress();
    pauseFor(std::chrono::milliseconds(100));
  }
  const int status = closePipe(pipe);

  if (!toolStepSucceeded(status, succeeded, false)) {
    logLine("The restore tool did not report success for " + key + " (status " + std::to_string(status) +
            "); marked as failed");
    markFailed(key);
    return 0;
  }
  return 1;
}
