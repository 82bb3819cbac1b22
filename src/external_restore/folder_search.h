#pragma once
// The directory tests and the backup-folder search shared by drive discovery
// and the catalogue.
#include <string>

#include <sys/stat.h>

// The backup folder that every external drive carries.
inline constexpr const char* kBackupFolderName = "TarnbyBMR_Backups";

// True when `path` exists (symbolic links followed) and is a directory.
bool isVolPresent(const std::string& path);

// The first directory below `root`, in walk order (a directory before its
// contents), whose path holds the backup folder's name; empty when there is
// none. The walk stays on the drive and within bounds (bounded_walk.h).
std::string findBackupFolder(const std::string& root);
