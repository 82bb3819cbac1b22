#include "server_restore/browse_operations.h"

#include <algorithm>

#include "control/log_line.h"
#include "control/queues.h"
#include "external_restore/disk_fit.h"
#include "server_restore/image_listing.h"
#include "server_restore/login_phase.h"
#include "server_restore/session_json.h"
#include "support/text.h"

namespace server_restore {

namespace {

void ignore(const std::string& op, const std::string& why) {
  logLine("Ignoring operation " + op + ": " + why);
}

}  // namespace

void answerClients(const SessionServices& services, SessionState& state) {
  int code = 0;
  state.clients = services.listClients(&code);
  sendClientList(state.clients);
}

void answerImages(const SessionServices& services, SessionState& state, const Json::Value& operation) {
  const Json::Value& args = memberOf(operation, "args");
  if (!args.isNull() && !args.isArray()) {
    ignore("-e", "\"args\" is not an array");
    return;
  }
  if (!args.empty()) {
    if (!args[0].isString()) {
      ignore("-e", "the client name is not text");
      return;
    }
    state.client = args[0].asString();
  }
  logLine(state.client);

  int code = 0;
  state.images = services.listImages(state.client, &code);
  logLine("Number of images " + convert(static_cast<unsigned long>(state.images.size())));
  if (const auto error = imageListingError(code, state.images.size())) {
    resp_queue.push(styled(*error));
    return;
  }
  std::stable_sort(state.images.begin(), state.images.end());
  state.unique = uniqueImages(state.images);
  resp_queue.push(styled(imageListAnswer(state.unique)));
}

std::vector<SImage> selectImages(const std::vector<SImage>& unique, const std::vector<std::string>& keys) {
  std::vector<SImage> selection;
  for (const std::string& key : keys) {
    for (const SImage& image : unique) {
      if (imageKey(image) == key) {
        selection.push_back(image);
      }
    }
  }
  return selection;
}

SourceDiskMap sourceDisks(const SessionServices& services, const std::vector<SImage>& selection) {
  SourceDiskMap disks;
  for (const SImage& image : selection) {
    const SourceRecord record = services.readSourceRecord(image);
    if (record.outcome == SourceRecord::Outcome::downloadFailed) {
      break;
    }
    if (record.outcome == SourceRecord::Outcome::decodeFailed) {
      continue;
    }
    const std::string disk = convert(record.device_number);
    auto found = disks.find(disk);
    if (found == disks.end()) {
      // The size is measured from the record just downloaded, so only here.
      device_info info;
      info.size = services.lastSourceDiskSize();
      info.drives.push_back(imageKey(image));
      disks.emplace(disk, std::move(info));
    } else {
      found->second.drives.push_back(imageKey(image));
    }
  }
  return disks;
}

void answerSelection(const SessionServices& services, SessionState& state, const Json::Value& operation) {
  const Json::Value& args = memberOf(operation, "args");
  if (!args.isNull() && !args.isArray()) {
    ignore("-i", "\"args\" is not an array");
    return;
  }
  std::vector<std::string> keys;
  for (const Json::Value& element : args) {
    if (element.isString()) {
      keys.push_back(element.asString());
    } else {
      logLine("Skipping an image key that is not text");
    }
  }
  state.selection = selectImages(state.unique, keys);

  Json::Value report;
  report["TargetDrives"] = services.targetDisks();
  report["SourceDisk"] = sourceDiskArray(sourceDisks(services, state.selection));
  resp_queue.push(styled(diskFitReport(report)));
}

std::string espAnswer(const std::vector<SImage>& selection, const std::string& key) {
  for (const SImage& image : selection) {
    if (imageKey(image) == key && image.associated.size() >= 2) {
      return "ESPVOL-Present";
    }
  }
  return "ESPVOL-Absent";
}

void answerEspCheck(const SessionState& state, const Json::Value& operation) {
  const std::optional<std::string> key = textMember(operation, "args");
  if (!key) {
    ignore("-c", "\"args\" is not text");
    return;
  }
  Json::Value answer;
  answer["op"] = "-c";
  answer["Result"] = espAnswer(state.selection, *key);
  resp_queue.push(styled(answer));
}

}  // namespace server_restore
