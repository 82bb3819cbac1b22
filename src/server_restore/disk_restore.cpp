#include "server_restore/disk_restore.h"

#include <chrono>
#include <exception>
#include <thread>

#include "disks/target_disks.h"
#include "protocol/image_download.h"
#include "server_restore/partition_table_write.h"
#include "server_restore/progress.h"
#include "server_restore/refusal_message.h"
#include "support/log_line.h"
#include "support/pause.h"
#include "support/text.h"

void RestoreThread::operator()() {
  result = downloadImage(image_id, image_time, partition, false, -1, 0, &image_size, &target_size);
  done = true;
}

std::string GetDriveletter(const SImage& image) {
  if (image.letter == "SYSVOL" || image.letter == "ESPVOL") {
    return image.letter;
  }
  return image.letter.substr(0, 1);
}

bool DoRestore(const SImage& image, const std::string& disk, std::string& errtext) {
  return server_restore::restorePartitionImage(server_restore::realDiskRestoreServices(), image, disk, errtext);
}

namespace server_restore {

namespace {

void startProgressThread(const std::string& key) {
  try {
    // The key is copied into the thread: it outlives this restore call.
    const unsigned round = currentProgressRound();
    std::thread([key, round] {
      try {
        pauseFor(std::chrono::seconds(2));
        // A partition that ended within the pause needs no reader.
        if (progressRoundOver(round)) {
          return;
        }
        ProcessRestoreProgress("./keelbackrestoreclient --image-download-progress", key,
                               [round] { return progressRoundOver(round); });
      } catch (const std::exception& e) {
        logLine(std::string("Progress reader stopped: ") + e.what());
      }
    }).detach();
  } catch (const std::exception& e) {
    // Without a progress thread the restore still runs; only the percentages are missing.
    logLine(std::string("Cannot start the progress reader: ") + e.what());
  }
}

}  // namespace

DiskRestoreServices realDiskRestoreServices() {
  DiskRestoreServices services;
  services.fetchRecord = [](const SImage& image) -> std::optional<SMBRData> {
    std::string errmsg;
    CRData data;
    if (!DownloadMBR(image, errmsg, data)) {
      return std::nullopt;
    }
    return SMBRData(data);
  };
  services.targetInventory = currentTargetDisks;
  services.download = [](RestoreThread& download) { download(); };
  services.startProgress = startProgressThread;
  services.refused = [](const std::string& key, const std::string& disk, const std::string& why) {
    SendTargetRefusal(key, disk, targetRefusalReason(disk, why));
  };
  return services;
}

bool restorePartitionImage(const DiskRestoreServices& services, const SImage& image, const std::string& disk,
                           std::string& errtext) {
  errtext.clear();
  const std::optional<SMBRData> record = services.fetchRecord(image);
  if (!record) {
    errtext = "MBR download failed..";
    return false;
  }
  if (record->decode_failed) {
    errtext = "error_while_reading_mbr";
    return false;
  }
  logLine(record->infoString() + disk);

  std::string partition;
  std::string refusedBecause;
  if (!writePartitionTable(*record, disk, services.targetInventory(), partition, errtext, &refusedBecause)) {
    if (!refusedBecause.empty()) {
      services.refused(GetDriveletter(image), disk, refusedBecause);
    }
    return false;
  }
  logLine(partition);
  logLine("mbr restore over");

  services.startProgress(GetDriveletter(image));

  RestoreThread download;
  download.image_id = image.image_id;
  download.image_time = convert(static_cast<long long>(image.backup_time));
  download.partition = partition;
  services.download(download);
  // Its progress reader and the tool behind it end with the partition.
  endProgressRound();
  if (download.done) {
    logLine("Restore completed..");
  }
  errtext = restoreErrorText(download.result);
  return errtext.empty();
}

std::string restoreErrorText(int code) {
  switch (code) {
    case 0:
      return std::string();
    case 2:
      return "cannot_write_on_partition`";
    case 3:
      return "wrong_size`";
    case 4:
      return "server_doesnot_respond`";
    case 5:
      return "server_connection_timeout`";
    case 6:
      return "writing_failed`";
    case 10:
      return "no_connection`";
    case 11:
      return "device_too_small";
    default:
      return "error restoring..";
  }
}

}  // namespace server_restore
