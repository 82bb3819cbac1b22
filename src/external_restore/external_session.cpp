#include "external_restore/external_session.h"

#include <exception>

#include <json/value.h>

#include "control/log_line.h"
#include "control/queues.h"
#include "control/shared_state.h"
#include "external_restore/catalogue_requests.h"
#include "external_restore/disk_report.h"
#include "external_restore/drive_mount.h"
#include "external_restore/json_message.h"
#include "external_restore/restore_run.h"
#include "external_restore/session_dispatch.h"

namespace {

void answerDrives() {
  Json::Value reply;
  reply["op"] = "-m";
  reply["Result"] = AutoMountExternalDrives();
  sendReply(reply);
}

void answerDiskReport(const std::string& message) {
  Json::Value request;
  parseMessage(message, request);
  logLine("Operation revd " + textMember(request, "op"));
  GetDiskInfoJson(textList(memberOf(request, "args")));
}

void handle(MessageKind kind, const std::string& message) {
  switch (kind) {
    case MessageKind::Mount:
      answerDrives();
      break;
    case MessageKind::DiskReport:
      answerDiskReport(message);
      break;
    case MessageKind::SubFolders:
      answerSubFolders(message);
      break;
    case MessageKind::BackupPoints:
      answerBackupPoints(message);
      break;
    case MessageKind::EspCheck:
      answerEspCheck(message);
      break;
    case MessageKind::Restore:
      RunRestore(message);
      break;
    case MessageKind::StartOver:
      break;
    case MessageKind::Unknown:
      logLine("Invalid Json");
      break;
  }
}

// The last line of defence of the session thread: an exception escaping a
// detached thread would end the whole agent.
void handleGuarded(MessageKind kind, const std::string& message) {
  try {
    handle(kind, message);
  } catch (const std::exception& error) {
    logLine(std::string("Request failed: ") + error.what());
  } catch (...) {
    logLine("Request failed");
  }
}

}  // namespace

void RestoreFromExternalDrive() {
  for (;;) {
    const std::string message = GetMsgFromQue();
    logLine("Dequed " + message);
    const MessageKind kind = messageKindOf(message);
    if (kind == MessageKind::StartOver) {
      endRestoreSession();
      logLine("RestoreFromExternalDrive exiting...");
      return;
    }
    handleGuarded(kind, message);
    if (kind == MessageKind::Restore) {
      endRestoreSession();
      logLine("Restore over ");
      return;
    }
  }
}
