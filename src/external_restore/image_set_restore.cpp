#include "external_restore/image_set_restore.h"

#include <optional>
#include <string_view>

#include "blockdev/partition_lookup.h"
#include "control/shared_state.h"
#include "external_restore/catalogue.h"
#include "external_restore/folder_search.h"
#include "disks/target_disks.h"
#include "external_restore/image_writer.h"
#include "external_restore/restore_tool_commands.h"
#include "protocol/record_file.h"
#include "protocol/restore_target.h"
#include "external_restore/tool_outcome.h"
#include "server_restore/progress.h"
#include "server_restore/refusal_message.h"
#include "support/command.h"
#include "support/log_line.h"

namespace {

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
  // would land on the whole disk.
  const std::string number = partitionNumberOf(image);
  if (number.empty()) {
    markFailed(key, "No partition number for " + image + "; not restored");
    return 1;
  }
  std::string why;
  const std::optional<SMBRData> record = readPartitionRecordFile(image + ".mbr", why);
  if (!record || std::to_string(record->partition_number) != number) {
    markFailed(key, (record ? "Partition number of " + image + ".mbr differs" : why) + "; " + image + " not restored");
    return 1;
  }
  blockdev::PartitionExtent extent;
  {
    RestoreTarget admitted;
    TargetRefusal refusal = TargetRefusal::target;
    if (!admitRestoreTarget(*record, target, currentTargetDisks(), admitted, refusal, why)) {
      SendTargetRefusal(key, target, targetRefusalReason(target, why));
      markFailed(key, why + "; " + image + " not restored");
      return 1;
    }
    extent = admitted.partition;
    // The tool claims the disk for itself to write the table.
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
    markFailed(key, "Partition table of " + image + " not written (the tool " + table.ending + "); image not restored");
    return 1;
  }

  std::string partition;
  if (!blockdev::findPartition(target, record->partition_number, extent, partition, why)) {
    markFailed(key, why + "; " + image + " not restored");
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
