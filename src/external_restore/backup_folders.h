#pragma once
// The backup folders that the last "-m" found. Every path the user interface
// sends afterwards must lie inside one of them once symbolic links are
// resolved: a request for "/" or a link on the drive must not make the agent
// list, read or restore from anywhere else on the machine.
#include <string>
#include <vector>

#include <json/value.h>

class BackupFolders {
public:
  // Takes every non-empty "MOUNTPOINT" of the "-m" answer (disks with
  // "partitions"); the folders found before are forgotten.
  void replace(const Json::Value& drives);

  // Adds one backup folder (resolved); a folder that does not exist is not
  // added.
  void add(const std::string& folder);

  // `path` exists and resolves to a backup folder or a path below one.
  bool holds(const std::string& path) const;

  // `path` does not exist (whatever uses it will fail on its own), or holds().
  bool holdsOrAbsent(const std::string& path) const;

private:
  std::vector<std::string> roots_;
};
