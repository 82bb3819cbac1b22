#pragma once
// Walking a folder tree on a backup drive. The walk visits a directory before
// its contents, in the order the file system lists them, never follows a
// symbolic link (one on the drive could lead anywhere on the machine), never
// leaves the file system of its root, and ends at a limit of entries or time:
// a drive with millions of files, or a slow one, must not hold the session.
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

struct WalkLimits {
  std::size_t maxEntries = 2'000'000;
  std::chrono::milliseconds maxTime{std::chrono::seconds(120)};
};

enum class WalkEnd { finished, stopped, limitReached, failed };

// Calls `visit(path, isDirectory)` for every entry below and including
// `root`; a visit that returns false stops the walk (stopped). failed when
// the root cannot be walked.
WalkEnd walkTree(const std::string& root, const WalkLimits& limits,
                 const std::function<bool(const std::string& path, bool isDirectory)>& visit);
