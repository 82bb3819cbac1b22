#include "control/shared_state.h"

std::atomic<bool> isClientConnected{false};
std::atomic<bool> isRestoreProcessRunning{false};
std::atomic<bool> cancelrestore{false};
std::atomic<bool> found_salt{false};
std::atomic<bool> isConnected{false};
std::atomic<bool> restore_retry_ok{false};
std::atomic<FILE*> in{nullptr};

const char* const pw_file = "keelback/pw.txt";

namespace {

std::atomic<unsigned> newestGeneration{0};
thread_local unsigned threadGeneration = 0;

}  // namespace

unsigned beginSessionGeneration() { return ++newestGeneration; }

unsigned currentSessionGeneration() { return newestGeneration; }

void adoptSessionGeneration(unsigned generation) { threadGeneration = generation; }

void endRestoreSession() {
  if (threadGeneration == newestGeneration) {
    isRestoreProcessRunning = false;
  }
}
