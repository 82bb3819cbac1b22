#include "external_restore/image_set_restore.h"

#include <chrono>
#include <string_view>

#include <sys/stat.h>

#include "control/log_line.h"
#include "control/shared_state.h"
#include "external_restore/catalogue.h"
#include "external_restore/folder_search.h"
#include "external_restore/image_writer.h"
#include "external_restore/partition_device.h"
#include "external_restore/restore_tool_commands.h"
#include "external_restore/tool_outcome.h"
#include "server_restore/progress.h"
#include "support/command.h"
#include "support/pause.h"

namespace {

// The kernel creates the partition nodes when the tool has made it re-read
// the table; this bounds the wait for a node that never comes (a failed
// partition-table write).
constexpr int kPartitionNodeChecks = 50;
constexpr std::chrono::milliseconds kPartitionNodeInterval(100);

bool isBlockDevice(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

bool waitForBlockDevice(const std::string& path) {
  for (int check = 0; check < kPartitionNodeChecks; ++check) {
    if (isBlockDevice(path)) {
      return true;
    }
    pauseFor(kPartitionNodeInterval);
  }
  return isBlockDevice(path);
}

bool allDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The partition number of the image, or empty when the tool did not print
// exactly one number.
std::string partitionNumberOf(const std::string& image) {
  std::string output;
  const std::vector<std::string> lines = runCommand(partitionNumberCommand(image), output);
  return lines.size() == 1 && allDigits(lines.front()) ? lines.front() : std::string();
}

void markFailed(const std::string& key, const std::string& why) {
  logLine(why);
  restorePointToProgress.set(key, "ERROR");
  SendRestoreProgress();
}

}  // namespace

int RestoreImage(const std::string& image, const std::string& key, const std::string& target) {
  // Checked before anything is written: without a partition number the image
  // would land on the whole disk, and a path that is not a block device would
  // be overwritten as a file.
  if (!isBlockDevice(target)) {
    markFailed(key, "Target " + target + " is not a block device; " + image + " not restored");
    return 1;
  }
  const std::string number = partitionNumberOf(image);
  if (number.empty()) {
    markFailed(key, "No partition number for " + image + "; not restored");
    return 1;
  }

  const std::string mbrCommand = restoreMbrCommand(image, target);
  logLine("restore_mbr_cmd " + mbrCommand);
  const CommandRun table = runCommandWithStatus(mbrCommand);
  bool sawSuccess = false;
  bool sawError = false;
  for (const std::string& line : table.lines) {
    logLine(line);
    sawSuccess = sawSuccess || isToolSuccessLine(line);
    sawError = sawError || isToolErrorLine(line);
  }
  // The partitions of the old table may still be there; writing into one of
  // them would put the image where the backup's table does not have it.
  if (!table.started || !toolStepSucceeded(table.status, sawSuccess, sawError)) {
    markFailed(key, "Partition table of " + image + " not written; image not restored");
    return 1;
  }

  const std::string partition = partitionDevice(target, number);
  if (!waitForBlockDevice(partition)) {
    markFailed(key, "Partition " + partition + " did not appear; " + image + " not restored");
    return 1;
  }
  const std::string imageCommand = restoreImageCommand(image, partition);
  logLine(imageCommand);
  DownloadImageFromExtDrive(imageCommand, key);
  return 1;
}

void DoRestoreForList(const std::vector<std::string>& images, const std::string& target) {
  logLine("Inside DoRestoreForList ");
  for (const std::string& image : images) {
    if (!isSystemVolumeImage(image)) {
      logLine("Starting restore for " + image);
      RestoreImage(image, progressKeyOf(image), target);
      if (cancelrestore) {
        return;
      }
      continue;
    }

    const std::string sysvolFolder = sysvolRestoreFolderOf(image);
    if (isVolPresent(sysvolFolder)) {
      logLine("Starting restore for " + sysvolFolder);
      RestoreImage(sysvolImageOf(image), folderKey(sysvolFolder), target);
    }
    if (cancelrestore) {
      return;
    }
    if (isVolPresent(espFolderOf(image))) {
      RestoreImage(espImageOf(image), kEspProgressKey, target);
      if (cancelrestore) {
        return;
      }
    }
    logLine("Starting restore for " + image);
    RestoreImage(image, progressKeyOf(image), target);
    if (cancelrestore) {
      return;
    }
  }
}
