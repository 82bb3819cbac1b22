#pragma once
// Restoring one partition image from the backup server onto a local disk:
// its partition table first, then the image streamed into the partition
// while a progress thread reports on it.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/listing.h"
#include "protocol/mbr_record.h"

// The image download of one partition, run on the calling thread.
struct RestoreThread {
  int result = 0;
  bool done = false;
  int image_id = 0;
  std::string image_time;
  std::string partition;
  int64_t image_size = 0;
  int64_t target_size = 0;

  void operator()();
};

// Restores `image` onto the whole disk `disk` (a device path from the user
// interface). errtext is empty on success, else one of the texts of
// restoreErrorText or of the partition-table steps.
bool DoRestore(const SImage& image, const std::string& disk, std::string& errtext);

// The progress key of an image: "SYSVOL", "ESPVOL" or the first character of
// its letter.
std::string GetDriveletter(const SImage& image);

namespace server_restore {

// What DoRestore reaches outside the disk: the backup service, the disk
// inventory and the progress thread. Replaced in tests.
struct DiskRestoreServices {
  // The decoded partition-table record of the image; nothing when it could
  // not be downloaded.
  std::function<std::optional<SMBRData>(const SImage& image)> fetchRecord;
  // The device paths of the disks the inventory lists as targets now.
  std::function<std::vector<std::string>()> targetInventory;
  std::function<void(RestoreThread& download)> download;
  // Starts the detached thread that relays the restore tool's progress for
  // the progress key.
  std::function<void(const std::string& key)> startProgress;
  // Tells the user why the disk was refused before anything was written.
  std::function<void(const std::string& key, const std::string& disk, const std::string& why)> refused;
};

DiskRestoreServices realDiskRestoreServices();

bool restorePartitionImage(const DiskRestoreServices& services, const SImage& image, const std::string& disk,
                           std::string& errtext);

// The error text for an image download's result code; empty for success.
std::string restoreErrorText(int code);

}  // namespace server_restore
