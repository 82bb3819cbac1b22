#include "external_restore/bounded_walk.h"

#include <ftw.h>

#include "control/log_line.h"

namespace {

struct Walk {
  const WalkLimits* limits;
  const std::function<bool(const std::string&, bool)>* visit;
  std::chrono::steady_clock::time_point deadline;
  std::size_t entries = 0;
  WalkEnd end = WalkEnd::finished;
};

// nftw's callback carries no context; each walk points this at its own state
// for as long as it runs, so results stay with the call.
thread_local Walk* currentWalk = nullptr;

int visitEntry(const char* path, const struct stat* /*info*/, int type, struct FTW* /*position*/) {
  Walk& walk = *currentWalk;
  if (++walk.entries > walk.limits->maxEntries || std::chrono::steady_clock::now() > walk.deadline) {
    walk.end = WalkEnd::limitReached;
    return 1;
  }
  if (!(*walk.visit)(path, type == FTW_D)) {
    walk.end = WalkEnd::stopped;
    return 1;
  }
  return 0;
}

}  // namespace

WalkEnd walkTree(const std::string& root, const WalkLimits& limits,
                 const std::function<bool(const std::string& path, bool isDirectory)>& visit) {
  Walk walk{&limits, &visit, std::chrono::steady_clock::now() + limits.maxTime};
  Walk* const outer = currentWalk;
  currentWalk = &walk;
  // Twenty descriptors keep a deep tree from being reopened level by level.
  const int result = nftw(root.c_str(), visitEntry, 20, FTW_PHYS | FTW_MOUNT);
  currentWalk = outer;
  if (walk.end == WalkEnd::limitReached) {
    logLine("The walk of " + root + " ended at its limit after " + std::to_string(walk.entries - 1) + " entries");
    return walk.end;
  }
  if (result != 0 && walk.end == WalkEnd::finished) {
    return WalkEnd::failed;
  }
  return walk.end;
}
