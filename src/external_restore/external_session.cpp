#include "external_restore/external_session.h"

#include <exception>
#include <mutex>

#include <json/value.h>

#include "control/log_line.h"
#include "control/queues.h"
#include "control/secret_mask.h"
#include "control/shared_state.h"
#include "external_restore/backup_folders.h"
#include "external_restore/catalogue_requests.h"
#include "external_restore/disk_report.h"
#include "external_restore/drive_mount.h"
#include "external_restore/json_message.h"
#include "external_restore/restore_run.h"
#include "external_restore/session_dispatch.h"

namespace {

// What the last "-m" found stays trusted in later sessions until the next
// "-m": the drives stay mounted, and a client may ask each question in a
// session of its own (restorectl does).
std::mutex remembered_mutex;
BackupFolders remembered_folders;

void rememberFolders(const BackupFolders& folders) {
  const std::lock_guard guard(remembered_mutex);
  remembered_folders = folders;
}

BackupFolders rememberedFolders() {
  const std::lock_guard guard(remembered_mutex);
  return remembered_folders;
}

void answerDrives(BackupFolders& folders) {
  Json::Value reply;
  reply["op"] = "-m";
  reply["Result"] = AutoMountExternalDrives();
  folders.replace(reply["Result"]);
  sendReply(reply);
}

void answerDiskReport(const std::string& message, const BackupFolders& folders) {
  Json::Value request;
  parseMessage(message, request);
  logLine("Operation revd " + textMember(request, "op"));
  std::vector<std::string> images;
  for (const std::string& image : textList(memberOf(request, "args"))) {
    // The report hands the tool the image's partition-table file, which a
    // link on the drive could lead anywhere on this machine, as "-r" knows.
    if (!folders.holds(image)) {
      logLine("Image " + image + " is not inside a backup folder found on the drives; left out");
    } else if (!folders.holds(image + ".mbr")) {
      logLine("Error: the partition-table file " + image + ".mbr is missing or lies outside the backup folders " +
              "found on the drives; " + image + " left out of the report");
    } else {
      images.push_back(image);
    }
  }
  GetDiskInfoJson(images);
}

void handle(MessageKind kind, const std::string& message, BackupFolders& folders) {
  switch (kind) {
    case MessageKind::Mount: {
      const std::lock_guard diskWork(diskWorkMutex());
      answerDrives(folders);
      rememberFolders(folders);
      break;
    }
    case MessageKind::DiskReport: {
      const std::lock_guard diskWork(diskWorkMutex());
      answerDiskReport(message, folders);
      break;
    }
    case MessageKind::SubFolders:
      answerSubFolders(message, folders);
      break;
    case MessageKind::BackupPoints:
      answerBackupPoints(message, folders);
      break;
    case MessageKind::EspCheck:
      answerEspCheck(message, folders);
      break;
    case MessageKind::Restore: {
      const std::lock_guard diskWork(diskWorkMutex());
      RunRestore(message, folders);
      break;
    }
    case MessageKind::StartOver:
      break;
    case MessageKind::Unknown:
      logLine("Invalid Json");
      break;
  }
}

// The last line of defence of the session thread: an exception escaping a
// detached thread would end the whole agent.
void handleGuarded(MessageKind kind, const std::string& message, BackupFolders& folders) {
  try {
    handle(kind, message, folders);
  } catch (const std::exception& error) {
    logLine(std::string("Request failed: ") + error.what());
  } catch (...) {
    logLine("Request failed");
  }
}

}  // namespace

void RestoreFromExternalDrive() {
  // Paths from the user interface are trusted only inside what "-m" found.
  BackupFolders folders = rememberedFolders();
  for (;;) {
    const std::string message = GetMsgFromQue();
    logLine("Dequed " + maskSecrets(message));
    const MessageKind kind = messageKindOf(message);
    if (kind == MessageKind::StartOver) {
      endRestoreSession();
      logLine("RestoreFromExternalDrive exiting...");
      return;
    }
    handleGuarded(kind, message, folders);
    if (kind == MessageKind::Restore) {
      endRestoreSession();
      logLine("Restore over ");
      return;
    }
  }
}
