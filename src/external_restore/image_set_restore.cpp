#include "external_restore/image_set_restore.h"

#include <charconv>

#include "blockdev/partition_lookup.h"
#include "control/shared_state.h"
#include "external_restore/catalogue.h"
#include "external_restore/folder_search.h"
#include "disks/target_disks.h"
#include "external_restore/image_writer.h"
#include "external_restore/restore_tool_commands.h"
#include "blockdev/table_probe.h"
#include "blockdev/target_gate.h"
#include "external_restore/source_table.h"
#include "external_restore/tool_outcome.h"
#include "server_restore/progress.h"
#include "server_restore/refusal_message.h"
#include "support/command.h"
#include "support/log_line.h"

namespace {

// The partition number of the image; 0 (no partition) when the tool did not
// print exactly one number.
int partitionNumberOf(const std::string& image) {
  std::string output;
  const std::vector<std::string> lines = runCommand(partitionNumberCommand(image), output);
  int number = 0;
  if (lines.size() != 1) {
    return 0;
  }
  const std::string& text = lines.front();
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end == text.data() + text.size() && number > 0 ? number : 0;
}

void markFailed(const std::string& key, const std::string& why) {
  logLine(why);
  restorePointToProgress.set(key, "ERROR");
  SendRestoreProgress();
}

// The user sees why beside the drive's "ERROR". Returns RestoreImage's 1.
int refused(const std::string& key, const std::string& target, const std::string& why) {
  SendTargetRefusal(key, target, targetRefusalReason(target, why));
  markFailed(key, why);
  return 1;
}

// Whether the table on `disk`, read from its bytes, has partition `number`
// at `expected`: the tool's table step is judged by what it left on the disk.
bool tableShowsPartition(const std::string& disk, int number, const blockdev::PartitionExtent& expected,
                         std::string& why) {
  blockdev::ProbedTable table;
  if (!blockdev::probePartitionTable(disk, table, why)) {
    return false;
  }
  const blockdev::ProbedPartition* found = table.partition(number);
  if (found == nullptr || !(found->extent == expected)) {
    why = disk + " shows " +
          (found == nullptr ? "no partition " + std::to_string(number)
                            : "partition " + std::to_string(number) + " at byte " + std::to_string(found->extent.start) +
                                  " with " + std::to_string(found->extent.size) + " bytes") +
          ", expected at byte " + std::to_string(expected.start) + " with " + std::to_string(expected.size) + " bytes";
    return false;
  }
  return true;
}

}  // namespace

int RestoreImage(const std::string& image, const std::string& key, const std::string& target) {
  // Checked before anything is written: without a partition number the image
  // would land on the whole disk.
  const int partitionNumber = partitionNumberOf(image);
  if (partitionNumber == 0) {
    markFailed(key, "No partition number for " + image + "; not restored");
    return 1;
  }
  std::string why;
  blockdev::PartitionExtent extent;
  {
    blockdev::BlockDevice device;
    blockdev::ProbedTable table;
    TargetRefusal refusal = TargetRefusal::target;
    // The table is learned on a scratch with the target's logical blocks
    // while the target is held, so that what is checked is what the tool
    // will write onto this very disk.
    if (!blockdev::admitTarget(target, currentTargetDisks(), device, why) ||
        !learnSourceTable(image + ".mbr", device.logicalBlockSize(), table, why) ||
        !learnedTableFits(table, partitionNumber, device.size(), device.logicalBlockSize(), extent, refusal, why)) {
      return refused(key, target, why + "; " + image + " not restored");
    }
    // The tool claims the disk for itself to write the table.
  }

  const std::string mbrCommand = restoreMbrCommand(image, target);
  logLine("restore_mbr_cmd " + mbrCommand);
  const CommandRun tableRun = runCommandWithStatus(mbrCommand);
  bool sawError = false;
  for (const std::string& line : tableRun.lines) {
    logLine(line);
    sawError = sawError || isToolErrorLine(line);
  }
  // Whatever the tool says about the table, the image goes only where the
  // disk now shows the partition: the old table's partitions may still be
  // there, and writing into one of them would put the image elsewhere.
  if (!tableRun.exitedCleanly() || sawError) {
    return refused(key, target, "the restore tool did not write the partition table of " + image + " (it " +
                                    tableRun.ending + (sawError ? ", reporting an error" : "") + ")");
  }
  std::string partition;
  if (!tableShowsPartition(target, partitionNumber, extent, why) ||
      !blockdev::findPartition(target, partitionNumber, extent, partition, why)) {
    return refused(key, target, "after the restore tool wrote the partition table of " + image + ", " + why);
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
