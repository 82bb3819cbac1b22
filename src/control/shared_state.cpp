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

}  // namespace

unsigned beginSessionGeneration() {
  unsigned generation = 0;
  {
    const std::lock_guard lock(sessionMutex);
    generation = openNextSessionGeneration();
    if (turnTaken) {
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
  return true;
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
