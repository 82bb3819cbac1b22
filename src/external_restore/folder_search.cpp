#include "external_restore/folder_search.h"

#include <cstring>

#include <ftw.h>

std::string g_folderDirectory;

bool isVolPresent(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int list1(const char* path, const struct stat* /*info*/, int type) {
  if (type != FTW_D) {
    return 0;
  }
  if (std::strcmp(path, ".") == 0) {
    return 0;
  }
  if (std::strstr(path, kBackupFolderName) != nullptr) {
    g_folderDirectory = path;
    return 1;
  }
  return 0;
}

std::string findBackupFolder(const std::string& root) {
  g_folderDirectory.clear();
  // Twenty descriptors keep a deep tree from being reopened level by level;
  // ftw stays correct with any number.
  ftw(root.c_str(), list1, 20);
  return g_folderDirectory;
}
