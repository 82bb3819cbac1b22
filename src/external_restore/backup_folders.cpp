#include "external_restore/backup_folders.h"

#include <cstdlib>
#include <memory>

#include <sys/stat.h>

#include "external_restore/json_message.h"

namespace {

std::string resolved(const std::string& path) {
  if (path.empty()) {
    return {};
  }
  const std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

bool isInside(const std::string& path, const std::string& root) {
  if (root == "/") {
    return true;
  }
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

}  // namespace

void BackupFolders::replace(const Json::Value& drives) {
  roots_.clear();
  if (!drives.isArray()) {
    return;
  }
  for (const Json::Value& disk : drives) {
    const Json::Value& partitions = memberOf(disk, "partitions");
    if (!partitions.isArray()) {
      continue;
    }
    for (const Json::Value& partition : partitions) {
      add(textMember(partition, "MOUNTPOINT"));
    }
  }
}

void BackupFolders::add(const std::string& folder) {
  const std::string root = resolved(folder);
  if (!root.empty()) {
    roots_.push_back(root);
  }
}

bool BackupFolders::holds(const std::string& path) const {
  const std::string real = resolved(path);
  if (real.empty()) {
    return false;
  }
  for (const std::string& root : roots_) {
    if (isInside(real, root)) {
      return true;
    }
  }
  return false;
}

bool BackupFolders::holdsOrAbsent(const std::string& path) const {
  struct stat info {};
  return lstat(path.c_str(), &info) != 0 || holds(path);
}
