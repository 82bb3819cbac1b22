#include "control/shared_state.h"

#include <condition_variable>

#include "control/queues.h"
#include "control/session_generation.h"

std::atomic<bool> isClientConnected{false};
std::atomic<bool> isRestoreProcessRunning{false};
std::atomic<bool> cancelrestore{false};
std::atomic<bool> found_salt{false};
std::atomic<bool> isConnected{false};
std::atomic<bool> restore_retry_ok{false};
std::atomic<FILE*> in{nullptr};

namespace {

// Guards the turn below and orders a new generation against the start of a
// restore run.
std::mutex sessionMutex;
std::condition_variable turnFree;
bool turnTaken = false;
// The generation whose restore run is in progress, and the run's views.
std::optional<unsigned> runningGeneration;
std::optional<std::chrono::steady_clock::time_point> lastRunEnded;
std::string lastRunProgress;

}  // namespace

unsigned beginSessionGeneration() {
  unsigned generation = 0;
  {
    const std::lock_guard lock(sessionMutex);
    generation = openNextSessionGeneration();
    if (turnTaken && !runningGeneration) {
      cancelrestore = true;
    }
  }
  turnFree.notify_all();
  msg_queue.wakeTakers();
  return generation;
}

void endRestoreSession() {
  // A thread that adopted no generation (a session run directly, as tests do)
  // has no successor to protect.
  const unsigned generation = sessionGeneration();
  {
    const std::lock_guard lock(sessionMutex);
    if (runningGeneration == generation) {
      runningGeneration.reset();
      lastRunEnded = std::chrono::steady_clock::now();
    }
  }
  if (generation == 0 || generation == currentSessionGeneration()) {
    isRestoreProcessRunning = false;
  }
}

bool beginRestoreRun() {
  const std::lock_guard lock(sessionMutex);
  if (sessionSuperseded()) {
    return false;
  }
  cancelrestore = false;
  runningGeneration = sessionGeneration();
  lastRunProgress.clear();
  return true;
}

bool restoreRunInProgress() {
  const std::lock_guard lock(sessionMutex);
  return runningGeneration.has_value();
}

void publishRunProgress(std::string text) {
  {
    const std::lock_guard lock(sessionMutex);
    lastRunProgress = text;
  }
  resp_queue.push(std::move(text), kEveryConnection);
}

void publishRunOutcome(std::string text) { resp_queue.push(std::move(text), kEveryConnection); }

std::optional<std::string> progressForNewView() {
  const std::lock_guard lock(sessionMutex);
  const bool shown = runningGeneration ||
                     (lastRunEnded && std::chrono::steady_clock::now() - *lastRunEnded < kRunShownAfterEnd);
  if (!shown || lastRunProgress.empty()) {
    return std::nullopt;
  }
  return lastRunProgress;
}

SessionTurn::SessionTurn(unsigned generation) {
  adoptSessionGeneration(generation);
  std::unique_lock lock(sessionMutex);
  turnFree.wait(lock, [generation] { return !turnTaken || generation != currentSessionGeneration(); });
  if (generation != currentSessionGeneration()) {
    return;
  }
  turnTaken = true;
  entered_ = true;
  // A cancel meant for the session before this one must not stop this one.
  cancelrestore = false;
}

SessionTurn::~SessionTurn() {
  if (entered_) {
    {
      const std::lock_guard lock(sessionMutex);
      turnTaken = false;
    }
    turnFree.notify_all();
  }
  endRestoreSession();
}

std::mutex& diskWorkMutex() {
  static std::mutex mutex;
  return mutex;
}
