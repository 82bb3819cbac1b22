#pragma once
// Process-wide flags shared between the endpoint thread and the workers. Each
// is atomic and read fresh at every test; no ordering between them is implied.
#include <atomic>
#include <cstdio>

extern std::atomic<bool> isClientConnected;
extern std::atomic<bool> isRestoreProcessRunning;
extern std::atomic<bool> cancelrestore;
extern std::atomic<bool> found_salt;
extern std::atomic<bool> isConnected;
extern std::atomic<bool> restore_retry_ok;

// Output pipe of a progress-reporting child program; null while none runs.
extern std::atomic<FILE*> in;

// The service password file, relative to the working directory.
extern const char* const pw_file;

// Each "init" opens a new session generation before it raises
// isRestoreProcessRunning; a session thread adopts the generation it was
// started for. A session that ends clears the flag only while it is still the
// newest one, so a replaced session ending late cannot hide its successor
// (the next "init" would then leave two sessions taking operations).
unsigned beginSessionGeneration();
unsigned currentSessionGeneration();
void adoptSessionGeneration(unsigned generation);
void endRestoreSession();
