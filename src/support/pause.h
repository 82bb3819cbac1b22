#pragma once
// The one seam for fixed pauses. The program keeps the real pauses; library
// tests install a function that returns at once (or records the request).
#include <chrono>
#include <functional>

using PauseFunction = std::function<void(std::chrono::milliseconds)>;

// Waits `duration` through the installed pause function (a real sleep unless
// a test replaced it).
void pauseFor(std::chrono::milliseconds duration);

// Installs `function` (an empty function restores the real sleep) and returns
// the one installed before. Not meant to be called while other threads pause.
PauseFunction setPauseFunction(PauseFunction function);
