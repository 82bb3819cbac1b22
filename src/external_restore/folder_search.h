#pragma once
// The directory tests and the backup-folder search shared by drive discovery
// and the catalogue.
#include <string>

#include <sys/stat.h>

// The backup folder that every external drive carries.
inline constexpr const char* kBackupFolderName = "TarnbyBMR_Backups";

// Receives the result of the last backup-folder search: an ftw callback cannot
// carry context. Only the external-restore worker thread uses it.
extern std::string g_folderDirectory;

// True when `path` exists (symbolic links followed) and is a directory.
bool isVolPresent(const std::string& path);

// ftw callback of the backup-folder search: stops the walk at the first
// directory whose path contains the backup folder's name and stores that path
// in g_folderDirectory.
int list1(const char* path, const struct stat* info, int type);

// Clears g_folderDirectory, walks `root` with list1 and returns what it found
// (empty when nothing).
std::string findBackupFolder(const std::string& root);
