#include "control/session_generation.h"

#include <atomic>

namespace {

std::atomic<unsigned> newestGeneration{0};
thread_local unsigned threadGeneration = 0;

}  // namespace

unsigned currentSessionGeneration() { return newestGeneration; }

unsigned openNextSessionGeneration() { return ++newestGeneration; }

void adoptSessionGeneration(unsigned generation) { threadGeneration = generation; }

unsigned sessionGeneration() { return threadGeneration; }

bool sessionSuperseded() { return threadGeneration != 0 && threadGeneration != newestGeneration; }
