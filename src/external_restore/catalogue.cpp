#include "external_restore/catalogue.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include <dirent.h>

#include "external_restore/bounded_walk.h"
#include "external_restore/folder_search.h"
#include "support/text.h"

namespace {

std::string replaced(std::string text, const std::string& search, const std::string& replacement) {
  string_Replace(text, search, replacement);
  return text;
}

std::string afterLastUnderscore(const std::string& name) {
  const auto underscore = name.rfind('_');
  return underscore == std::string::npos ? name : name.substr(underscore + 1);
}

// Entries whose directory type is unknown (some file systems do not report
// it) are asked for with stat, so their sub-folders are not silently lost.
bool isDirectoryEntry(const std::string& folder, const dirent& entry) {
  if (entry.d_type == DT_DIR) {
    return true;
  }
  if (entry.d_type != DT_UNKNOWN) {
    return false;
  }
  struct stat info {};
  return lstat((folder + "/" + entry.d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string getFileExt(const std::string& path) {
  const auto dot = path.rfind('.');
  return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}

bool isListedImage(const std::string& path) {
  const std::string ext = getFileExt(path);
  return (ext == "vhd" || ext == "raw") && path.find("SYSVOL_") == std::string::npos &&
         path.find("ESP_") == std::string::npos;
}

std::string progressKeyOf(const std::string& imagePath) {
  const std::vector<std::string> pieces = split(imagePath, '/');
  if (pieces.size() < 2) {
    return {};
  }
  return afterLastUnderscore(pieces[pieces.size() - 2]);
}

std::string folderKey(const std::string& folder) {
  const std::vector<std::string> pieces = split(folder, '/');
  return pieces.empty() ? std::string() : afterLastUnderscore(pieces.back());
}

bool isSystemVolumeImage(const std::string& imagePath) {
  return imagePath.find("Image_C/") != std::string::npos;
}

std::string imageFolder(const std::string& imagePath) {
  const auto slash = imagePath.rfind('/');
  return slash == std::string::npos ? std::string() : imagePath.substr(0, slash + 1);
}

std::string sysvolFolderOf(const std::string& imagePath) {
  return replaced(imageFolder(imagePath), "_C/", "_SYSVOL/");
}

std::string sysvolRestoreFolderOf(const std::string& imagePath) {
  return replaced(imageFolder(imagePath), "Image_C", "Image_SYSVOL");
}

std::string espFolderOf(const std::string& imagePath) {
  return replaced(imageFolder(imagePath), "_C/", "_ESP/");
}

std::string sysvolImageOf(const std::string& imagePath) {
  return replaced(imagePath, "Image_C", "Image_SYSVOL");
}

std::string espImageOf(const std::string& imagePath) {
  return replaced(imagePath, "Image_C", "Image_ESP");
}

std::optional<BackupPoint> backupPointOf(const std::string& base, const std::string& imagePath) {
  std::string baseText = base;
  if (!baseText.empty() && baseText.back() == '/') {
    baseText.pop_back();
  }
  const size_t cut = baseText.size() + 1;
  const std::string rel = imagePath.size() > cut ? imagePath.substr(cut) : std::string();

  const auto slash = rel.find('/');
  if (slash == std::string::npos || slash == 0) {
    return std::nullopt;
  }
  const std::string date = rel.substr(0, rel.find('_'));
  std::tm time{};
  const char* end = strptime(date.c_str(), "%y%m%d-%H%M", &time);
  if (end == nullptr || *end != '\0') {
    return std::nullopt;
  }
  char formatted[64] = {};
  std::strftime(formatted, sizeof(formatted), "%Y-%m-%d %H:%M", &time);
  return BackupPoint{std::string(1, rel[slash - 1]) + ":", formatted, imagePath};
}

std::vector<BackupPoint> listBackupPoints(const std::string& base) {
  std::vector<std::string> images;
  std::vector<BackupPoint> points;
  const WalkEnd end = walkTree(base, WalkLimits{}, [&images](const std::string& path, bool) {
    if (isListedImage(path)) {
      images.push_back(path);
    }
    return true;
  });
  if (end == WalkEnd::failed) {
    return points;
  }
  for (const std::string& path : images) {
    if (auto point = backupPointOf(base, path)) {
      points.push_back(std::move(*point));
    }
  }
  // Directory order is the file system's: name order on NTFS, creation order
  // on btrfs, neither on others. The user picks by date, so oldest first; the
  // "%Y-%m-%d %H:%M" text sorts as the time does.
  std::stable_sort(points.begin(), points.end(),
                   [](const BackupPoint& a, const BackupPoint& b) { return a.backupdate < b.backupdate; });
  return points;
}

std::optional<std::vector<std::string>> listSubFolders(const std::string& folder) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.' && isDirectoryEntry(folder, *entry)) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(directory);
  return names;
}

std::string espCheck(const std::string& imagePath) {
  if (!isSystemVolumeImage(imagePath)) {
    return {};
  }
  return isVolPresent(espFolderOf(imagePath)) ? "ESPVOL-Present" : "ESPVOL-Absent";
}
