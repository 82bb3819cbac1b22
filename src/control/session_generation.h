#pragma once
// Which session a thread works for. Each "init" opens a new generation, and a
// message belongs to the generation that was current when it arrived. The
// queues ask this without reaching the session turn (shared_state.h), which
// in turn wakes the queues' takers: both sit on this file, not on each other.

// The newest generation, opened by the latest "init"; 0 before the first.
unsigned currentSessionGeneration();
// Opens the next generation and returns it. Only the session turn calls this,
// under its own lock, so that the opening is ordered against a turn's start.
unsigned openNextSessionGeneration();

void adoptSessionGeneration(unsigned generation);
// The generation the calling thread adopted; 0 for a thread that is no session.
unsigned sessionGeneration();
// True when the calling session has been replaced by a newer "init".
bool sessionSuperseded();
