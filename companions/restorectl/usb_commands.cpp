#include "commands.h"
#include "disk_steps.h"
#include "sentences.h"
#include "tables.h"

namespace restorectl {
namespace {

bool startExternalSession(Driver& driver) { return driver.send(initRequest(kExternalMode)); }

// "-m": the agent mounts the USB drives' partitions and looks for backup
// folders on them.
std::optional<std::vector<TargetDisk>> mountDrives(Driver& driver) {
  if (!driver.send(mountRequest())) {
    return std::nullopt;
  }
  const auto reply = driver.await({"-m"}, "the USB drives to be mounted and searched");
  if (!reply) {
    return std::nullopt;
  }
  auto drives = parseDiskList(reply->body["Result"]);
  if (!drives) {
    driver.endSession();
    driver.fail(kFailed, "The agent sent a list of USB drives that restorectl cannot read.");
  }
  return drives;
}

std::optional<std::vector<std::string>> listFolder(Driver& driver, const std::string& folder) {
  if (!driver.send(folderListRequest(folder))) {
    return std::nullopt;
  }
  const auto reply = driver.await({"-u", ""}, "the folders under " + folder);
  if (!reply) {
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> names;
  if (!reply->op.empty()) {
    names = parseNameList(*reply);
  }
  if (!names) {
    driver.endSession();
    driver.fail(kFailed, "The agent could not list the folders under " + folder + ".");
  }
  return names;
}

const char* const kNoBackupFolder = "No backup folder was found on the USB drives.";

}  // namespace

int usbMount(Driver& driver) {
  if (!startExternalSession(driver)) {
    return driver.failure();
  }
  const auto drives = mountDrives(driver);
  if (!drives) {
    return driver.failure();
  }
  driver.endSession();
  printUsbDrives(driver.out(), *drives);
  if (backupFolders(*drives).empty()) {
    return driver.fail(kFailed, kNoBackupFolder);
  }
  return kSuccess;
}

int usbClients(Driver& driver, const std::optional<std::string>& folder) {
  if (!startExternalSession(driver)) {
    return driver.failure();
  }
  std::vector<std::string> folders;
  if (folder) {
    folders.push_back(*folder);
  } else {
    const auto drives = mountDrives(driver);
    if (!drives) {
      return driver.failure();
    }
    folders = backupFolders(*drives);
    if (folders.empty()) {
      driver.endSession();
      return driver.fail(kFailed, kNoBackupFolder);
    }
  }
  for (const auto& base : folders) {
    const auto names = listFolder(driver, base);
    if (!names) {
      return driver.failure();
    }
    driver.out() << base << '\n';
    if (names->empty()) {
      driver.out() << "  no client folders\n";
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& name : *names) {
      const std::string separator = !base.empty() && base.back() == '/' ? "" : "/";
      rows.push_back({"  " + name, base + separator + name});
    }
    driver.out() << formatColumns(rows);
  }
  driver.endSession();
  return kSuccess;
}

int usbPoints(Driver& driver, const std::string& folder) {
  if (!startExternalSession(driver) || !driver.send(imageListRequest(folder))) {
    return driver.failure();
  }
  const auto reply = driver.await({"-e"}, "the backup points under " + folder);
  if (!reply) {
    return driver.failure();
  }
  driver.endSession();
  const auto images = parseImageList(*reply);
  if (!images) {
    return driver.fail(kFailed, "The agent sent a list of backup points that restorectl cannot read.");
  }
  if (images->empty()) {
    return driver.fail(kFailed, "No backup points were found under " + folder + ".");
  }
  printImages(driver.out(), *images, "Image path");
  return kSuccess;
}

int usbReport(Driver& driver, const std::vector<std::string>& paths) {
  if (!startExternalSession(driver)) {
    return driver.failure();
  }
  const auto report = requestDiskReport(driver, paths);
  if (!report) {
    return driver.failure();
  }
  driver.endSession();
  printDiskReport(driver.out(), *report);
  return kSuccess;
}

int usbRestore(Driver& driver, const std::vector<RestoreTarget>& targets) {
  if (!startExternalSession(driver)) {
    return driver.failure();
  }
  return restoreTargets(driver, targets, false);
}

}  // namespace restorectl
