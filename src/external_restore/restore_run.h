#pragma once
// The restore run of the external session ("-r").
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

#include "external_restore/backup_folders.h"

// Target disk -> image paths, in byte-wise text order of the target.
using RestorePlan = std::map<std::string, std::vector<std::string>>;

// The plan of a request {"restorepoints": [{"out": disk, "in": [paths]}, ...]}.
// A later element for the same disk replaces an earlier one. Elements without
// a text "out" are left out; a missing or mistyped "in" counts as empty, as do
// non-text paths.
RestorePlan restorePlanOf(const Json::Value& request);

// The progress keys of a plan, in plan order, each image's volume set members
// before the image itself: "SYSVOL" and "ESPVOL" when their folders are
// present, then the image's own key. May hold a key twice.
std::vector<std::string> progressKeysOf(const RestorePlan& plan);

// Whether the image, its partition-table file and the volume set partners it
// would bring along all lie inside the backup folders.
bool isConfinedImageSet(const std::string& image, const BackupFolders& folders);

// Drops from the plan every image whose set is not confined; their progress
// keys become "ERROR".
void keepConfinedImages(RestorePlan& plan, const BackupFolders& folders);

// Clears the cancel flag and the progress table, registers the plan's keys
// with empty status and restores each target's list, stopping after a
// cancelled target. Images outside `folders` are not restored ("ERROR").
void RunRestore(const std::string& message, const BackupFolders& folders);
