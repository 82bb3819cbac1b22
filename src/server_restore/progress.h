#pragma once
// Per-drive restore status shown by the user interface, and the reader that
// turns a child program's progress lines into it.
#include <functional>
#include <map>
#include <mutex>
#include <string>

// Progress key ("SYSVOL", "ESPVOL" or a drive letter) -> status: empty while
// planned, "<n>%" while running, "SUCCESS" or "ERROR". One lock guards every
// read and write, so each message shows one consistent table.
class ProgressTable {
public:
  void set(const std::string& key, const std::string& status);
  // Sets a running status unless the key already holds "SUCCESS" or "ERROR":
  // a progress line read late must not turn a finished drive back into a
  // running one. True when the status was stored.
  bool setRunning(const std::string& key, const std::string& status);
  void clear();
  std::map<std::string, std::string> snapshot() const;

private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> statuses_;
};

extern ProgressTable restorePointToProgress;

// Sends {"op": "-p", "progress": {...}} with the whole table to every open
// connection.
void SendRestoreProgress();

// Runs `command`, stores each output line + "%" under `key` and sends the
// table; returns the child's wait status (0 when the command could not be
// started). Reading ends at the end of the output, after a line read while
// cancelrestore is set, or as soon as `over` says so (checked while the child
// is silent too); a child still running then is stopped.
int ProcessRestoreProgress(const std::string& command, const std::string& key,
                           const std::function<bool()>& over = {});

// The progress reader of a partition belongs to that partition's restore:
// each reader takes the current round when it is started, and ending the
// partition's restore ends the round and with it the reader and its child.
unsigned currentProgressRound();
bool progressRoundOver(unsigned round);
void endProgressRound();
