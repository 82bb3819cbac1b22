#include "external_restore/drive_mount.h"

#include <sys/stat.h>

#include "control/log_line.h"
#include "disks/disk_inventory.h"
#include "external_restore/folder_search.h"
#include "external_restore/json_message.h"
#include "support/command.h"
#include "support/shell_quote.h"
#include "support/text.h"

namespace {

// Mounts one partition that nobody has mounted yet and returns the backup
// folder found on it; unmounts it again when there is none. An empty result
// also when the mount folder exists already (same partition asked for twice
// within a second) or cannot be created: the partition is then left alone.
std::string mountAndSearch(const std::string& name, const std::string& fsType) {
  const std::string device = "/dev/" + name;
  std::time_t clock = std::time(nullptr);
  std::tm now{};
  localtime_r(&clock, &now);
  const std::string folder = mountFolderFor(name, now);

  struct stat info {};
  if (stat(folder.c_str(), &info) == 0) {
    logLine("Mount folder " + folder + " exists already; " + device + " left alone");
    return {};
  }
  mkdir(folder.c_str(), 0700);
  if (stat(folder.c_str(), &info) != 0) {
    logLine("Cannot create mount folder " + folder);
    return {};
  }

  std::string output;
  runCommand(mountCommand(device, mountTypeFor(fsType), folder), output);
  const std::string found = findBackupFolder(folder);
  if (found.empty()) {
    runCommand(unmountCommand(device), output);
  }
  return found;
}

}  // namespace

std::string mountFolderFor(const std::string& name, const std::tm& now) {
  char clock[64] = {};
  std::strftime(clock, sizeof(clock), "%X", &now);
  std::string time = clock;
  string_Replace(time, ":", "_");
  return "/mnt/" + name + "_" + time + "/";
}

std::string mountTypeFor(const std::string& fsType) {
  if (fsType == "ntfs") {
    return "ntfs-3g";
  }
  if (fsType == "btrfs") {
    return "btrfs";
  }
  return {};
}

std::string mountCommand(const std::string& device, const std::string& type, const std::string& folder) {
  const std::string typeOption = type.empty() ? std::string() : " -t " + type;
  return "sudo mount -o ro,nosuid,nodev,noexec " + shellQuote(device) + typeOption + "  " + shellQuote(folder) +
         "> out 2>&1";
}

std::string unmountCommand(const std::string& device) {
  return "sudo umount " + shellQuote(device);
}

Json::Value MountBackupDrives(Json::Value inventory) {
  if (!inventory.isArray()) {
    return inventory;
  }
  for (Json::Value& disk : inventory) {
    // Looked up without operator[], which would add a "partitions" member to
    // a disk that has none.
    if (!memberOf(disk, "partitions").isArray()) {
      continue;
    }
    for (Json::Value& partition : disk["partitions"]) {
      if (!partition.isObject()) {
        continue;
      }
      const std::string mountPoint = textMember(partition, "MOUNTPOINT");
      if (!mountPoint.empty()) {
        partition["MOUNTPOINT"] = findBackupFolder(mountPoint);
        continue;
      }
      const std::string name = textMember(partition, "name");
      // Without a name there is no device to mount (and "/dev/" alone must
      // never reach mount).
      partition["MOUNTPOINT"] = name.empty() ? std::string() : mountAndSearch(name, textMember(partition, "FsType"));
    }
  }
  return inventory;
}

Json::Value AutoMountExternalDrives() {
  return MountBackupDrives(GetDiskInfo(true));
}
