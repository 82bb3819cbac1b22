#pragma once
// How the backup folder on an external drive is read: which files are images,
// a backup point's letter and date, the volume set of a system-volume image,
// and the progress key of each image. Pure path rules, plus the listings.
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

// Progress key of the EFI system partition image, whatever its folder.
inline constexpr const char* kEspProgressKey = "ESPVOL";

// The text after the last "." of `path`; empty when there is none.
std::string getFileExt(const std::string& path);

// Whether the backup point listing shows `path`: its extension is "vhd" or
// "raw" and it is not a system-reserved or EFI partition image.
bool isListedImage(const std::string& path);

// Name under which an image's progress is reported: the text after the last
// "_" of the folder holding it ("C" for .../Image_C/x.vhd).
std::string progressKeyOf(const std::string& imagePath);

// The text after the last "_" of the last name of `folder` (a trailing "/" is
// ignored): "SYSVOL" for .../Image_SYSVOL/.
std::string folderKey(const std::string& folder);

// Whether `imagePath` is the system-volume image of a backup point, which is
// restored together with its system-reserved and EFI partition images.
bool isSystemVolumeImage(const std::string& imagePath);

// The folder of `imagePath`, up to and including its last "/".
std::string imageFolder(const std::string& imagePath);

// Folder tested when the progress keys of a run are registered.
std::string sysvolFolderOf(const std::string& imagePath);
// Folder tested when the image set is restored. Names the same folder as
// sysvolFolderOf as long as "_C/" occurs only as the end of "Image_C/".
std::string sysvolRestoreFolderOf(const std::string& imagePath);
std::string espFolderOf(const std::string& imagePath);
std::string sysvolImageOf(const std::string& imagePath);
std::string espImageOf(const std::string& imagePath);

// One entry of the backup point listing.
struct BackupPoint {
  std::string letter;      // "C:"
  std::string backupdate;  // "2017-03-15 10:30"
  std::string path;        // the image path
};

// Reads letter and date of `imagePath` below `base`. Nothing when the path
// below the base has no "/" after its first character or its leading
// "%y%m%d-%H%M" date does not parse.
std::optional<BackupPoint> backupPointOf(const std::string& base, const std::string& imagePath);

// Walks `base` and returns its backup points, oldest first (walk order among
// equal dates); none when the walk fails. The walk stays on the drive and
// within bounds (bounded_walk.h); at a bound the points found so far are kept.
std::vector<BackupPoint> listBackupPoints(const std::string& base);

// Names of the sub-directories of `folder` (not those beginning with "."),
// in directory order; nothing when the folder cannot be opened.
std::optional<std::vector<std::string>> listSubFolders(const std::string& folder);

// "ESPVOL-Present" or "ESPVOL-Absent" for a system-volume image; the empty
// string for any other path.
std::string espCheck(const std::string& imagePath);
