#include "external_restore/restore_run.h"

#include "control/log_line.h"
#include "control/shared_state.h"
#include "external_restore/catalogue.h"
#include "external_restore/folder_search.h"
#include "external_restore/image_set_restore.h"
#include "external_restore/json_message.h"
#include "server_restore/progress.h"

RestorePlan restorePlanOf(const Json::Value& request) {
  RestorePlan plan;
  const Json::Value& points = memberOf(request, "restorepoints");
  if (!points.isArray()) {
    return plan;
  }
  for (const Json::Value& point : points) {
    const std::string target = textMember(point, "out");
    if (target.empty()) {
      logLine("Restore point without a target disk left out");
      continue;
    }
    plan[target] = textList(memberOf(point, "in"));
  }
  return plan;
}

std::vector<std::string> progressKeysOf(const RestorePlan& plan) {
  std::vector<std::string> keys;
  for (const auto& [target, images] : plan) {
    for (const std::string& image : images) {
      if (isSystemVolumeImage(image)) {
        const std::string sysvolFolder = sysvolFolderOf(image);
        if (isVolPresent(sysvolFolder)) {
          keys.push_back(folderKey(sysvolFolder));
        }
        if (isVolPresent(espFolderOf(image))) {
          keys.push_back(kEspProgressKey);
        }
      }
      keys.push_back(progressKeyOf(image));
    }
  }
  return keys;
}

void keepConfinedImages(RestorePlan& plan, const BackupFolders& folders) {
  bool refused = false;
  for (auto& [target, images] : plan) {
    std::vector<std::string> kept;
    for (const std::string& image : images) {
      if (isConfinedImageSet(image, folders)) {
        kept.push_back(image);
        continue;
      }
      logLine("Image " + image + " is not inside a backup folder found on the drives; not restored");
      for (const std::string& key : progressKeysOf({{target, {image}}})) {
        restorePointToProgress.set(key, "ERROR");
      }
      refused = true;
    }
    images = std::move(kept);
  }
  if (refused) {
    SendRestoreProgress();
  }
}

bool isConfinedImageSet(const std::string& image, const BackupFolders& folders) {
  if (!folders.holds(image) || !folders.holds(image + ".mbr")) {
    return false;
  }
  if (!isSystemVolumeImage(image)) {
    return true;
  }
  for (const std::string& partner : {sysvolImageOf(image), espImageOf(image)}) {
    if (!folders.holdsOrAbsent(partner) || !folders.holdsOrAbsent(partner + ".mbr")) {
      return false;
    }
  }
  return true;
}

void RunRestore(const std::string& message, const BackupFolders& folders) {
  Json::Value request;
  parseMessage(message, request);
  logLine("Operation revd " + textMember(request, "op"));

  if (!beginRestoreRun()) {
    logLine("This session has been replaced; no restore run");
    return;
  }
  restorePointToProgress.clear();
  RestorePlan plan = restorePlanOf(request);
  for (const std::string& key : progressKeysOf(plan)) {
    restorePointToProgress.set(key, "");
  }
  keepConfinedImages(plan, folders);
  for (const auto& [target, images] : plan) {
    DoRestoreForList(images, target);
    if (cancelrestore) {
      break;
    }
  }
}
