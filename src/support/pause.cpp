#include "support/pause.h"

#include <thread>
#include <utility>

namespace {

PauseFunction& installedPause() {
  static PauseFunction function;
  return function;
}

}  // namespace

void pauseFor(std::chrono::milliseconds duration) {
  const PauseFunction& function = installedPause();
  if (function) {
    function(duration);
  } else {
    std::this_thread::sleep_for(duration);
  }
}

PauseFunction setPauseFunction(PauseFunction function) {
  return std::exchange(installedPause(), std::move(function));
}
