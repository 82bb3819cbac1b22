#pragma once
// Process-wide flags shared between the endpoint thread and the workers. Each
// is atomic and read fresh at every test; no ordering between them is implied.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "control/session_generation.h"

extern std::atomic<bool> isClientConnected;
extern std::atomic<bool> isRestoreProcessRunning;
extern std::atomic<bool> cancelrestore;
extern std::atomic<bool> found_salt;
extern std::atomic<bool> isConnected;
extern std::atomic<bool> restore_retry_ok;

// Output pipe of a progress-reporting child program; null while none runs.
extern std::atomic<FILE*> in;

// Each "init" opens a new session generation, on the endpoint's thread, before
// it raises isRestoreProcessRunning; every message queued after that belongs
// to the new generation. A session thread adopts the generation it was
// started for. A session that ends clears the flag only while it is still the
// newest one, so a replaced session ending late cannot hide its successor.
//
// Opening a generation while a session is still at work also raises
// cancelrestore, so the replaced session stops what it was doing, unless
// that is a restore run: a run ends only by itself or by "cancel-restore", and
// the new session waits for it.
unsigned beginSessionGeneration();
// Also ends the calling session's restore run, if it has one.
void endRestoreSession();

// Clears cancelrestore for a restore run that begins now; false (and the flag
// left alone) when the calling session has been replaced meanwhile.
bool beginRestoreRun();
// True from a successful beginRestoreRun() until that session ends.
bool restoreRunInProgress();

// Queues a "-p" text for every open connection and keeps it for connections
// that open while the run goes on or within `kRunShownAfterEnd` after it ended.
void publishRunProgress(std::string text);
// Queues the outcome of a run (such as its cancellation) for every connection.
void publishRunOutcome(std::string text);
inline constexpr std::chrono::seconds kRunShownAfterEnd{60};
// The latest "-p" text of the run in progress, or of one that ended less than
// kRunShownAfterEnd ago; nothing otherwise.
std::optional<std::string> progressForNewView();

// One session at a time: the session thread of `generation` holds this while
// it runs. entered() is false when a newer "init" replaced the session before
// the one before it had ended; the thread then does nothing at all.
class SessionTurn {
public:
  explicit SessionTurn(unsigned generation);
  ~SessionTurn();
  SessionTurn(const SessionTurn&) = delete;
  SessionTurn& operator=(const SessionTurn&) = delete;
  bool entered() const { return entered_; }

private:
  bool entered_ = false;
};

// Mounting, the disk reports and restore runs work on the disks and share the
// scratch files "out", "temp" and "mbr.dat"; only one may run at a time.
std::mutex& diskWorkMutex();
