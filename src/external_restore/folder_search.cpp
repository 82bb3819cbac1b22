#include "external_restore/folder_search.h"

#include "external_restore/bounded_walk.h"

bool isVolPresent(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string findBackupFolder(const std::string& root) {
  std::string found;
  walkTree(root, WalkLimits{}, [&found](const std::string& path, bool isDirectory) {
    if (!isDirectory || path == "." || path.find(kBackupFolderName) == std::string::npos) {
      return true;
    }
    found = path;
    return false;
  });
  return found;
}
