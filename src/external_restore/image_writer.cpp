#include "external_restore/image_writer.h"

#include <chrono>
#include <cstdio>

#include "control/log_line.h"
#include "control/shared_state.h"
#include "external_restore/tool_outcome.h"
#include "server_restore/progress.h"
#include "support/pause.h"
#include "support/process_runner.h"

namespace {

// The tool's lines are read as fgets with a 512-byte buffer gives them: a
// longer line arrives in pieces, each handled as a line of its own.
constexpr size_t kToolLinePiece = 511;

// The last blank-separated word of the line.
std::string percentageOf(const std::string& line) {
  const auto blank = line.rfind(' ');
  return blank == std::string::npos ? line : line.substr(blank + 1);
}

void markFailed(const std::string& key) {
  restorePointToProgress.set(key, "ERROR");
  SendRestoreProgress();
}

}  // namespace

int DownloadImageFromExtDrive(const std::string& command, const std::string& key) {
  // A cancel stops the tool even while it prints nothing (a flush of a large
  // partition can take minutes); the tool leaves nothing mountable behind.
  ChildProcess tool(shellCommand(command), ChildStdout::pipe, ChildLimits{[] { return cancelrestore.load(); }, {}});
  if (!tool.started()) {
    logLine("Cannot start " + command + ": " + tool.startFailure().error);
    return 0;
  }
  FILE* const handle = tool.outputHandle();
  in = handle;

  bool succeeded = false;
  bool failed = false;
  const ChildProcess::Reading reading = tool.readLines(
      [&](const std::string& line) {
        logLine(line);
        if (isToolErrorLine(line)) {
          failed = true;
          return false;
        }
        succeeded = isToolSuccessLine(line);
        if (succeeded) {
          restorePointToProgress.set(key, "SUCCESS");
        } else if (line.find('%') != std::string::npos) {
          restorePointToProgress.set(key, percentageOf(line));
        } else {
          restorePointToProgress.set(key, "");
        }
        if (cancelrestore) {
          return false;
        }
        SendRestoreProgress();
        pauseFor(std::chrono::milliseconds(100));
        return true;
      },
      kToolLinePiece);
  const bool cancelled = !failed && reading != ChildProcess::Reading::ended;
  // Cleared only while it is still ours, as the server restore's progress
  // reader does with the same handle.
  FILE* expected = handle;
  in.compare_exchange_strong(expected, nullptr);

  if (cancelled) {
    logLine("Restore is cancelled... ");
    tool.stop();
    return 1;
  }
  if (failed) {
    markFailed(key);
    tool.wait();
    return 0;
  }
  const ChildExit exit = tool.wait();
  if (!toolStepSucceeded(exit.waitStatus, succeeded, false)) {
    logLine("The restore tool did not report success for " + key + " (it " + exit.describe() + "); marked as failed");
    markFailed(key);
    return 0;
  }
  return 1;
}
