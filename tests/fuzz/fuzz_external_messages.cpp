// Feeds arbitrary texts to the message handling of the external-drive session
// up to where it would run a command or look at a disk: the choice of the
// request kind, the JSON reading, the restore plan of "-r", and the path rules
// that turn an image path into its progress key, its volume set and its
// backup point. Checks that nothing throws, that a JSON object is the kind its
// text "op" names exactly (whatever else it holds) and only other text the
// first of the fixed substrings in the fixed order, that a plan holds only
// what its request named as text, and the shape of every derived path and key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <json/value.h>

#include "external_restore/catalogue.h"
#include "external_restore/json_message.h"
#include "external_restore/restore_run.h"
#include "external_restore/session_dispatch.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

MessageKind expectedKind(const std::string& text) {
  Json::Value request;
  const bool parsed = parseMessage(text, request);
  const Json::Value& op = memberOf(request, "op");
  const std::pair<const char*, MessageKind> order[] = {
      {"start-over", MessageKind::StartOver}, {"-m", MessageKind::Mount},        {"-i", MessageKind::DiskReport},
      {"-u", MessageKind::SubFolders},        {"-e", MessageKind::BackupPoints}, {"-c", MessageKind::EspCheck},
      {"-r", MessageKind::Restore},
  };
  for (const auto& [needle, kind] : order) {
    const bool names = parsed ? op.isString() && op.asString() == needle : text.find(needle) != std::string::npos;
    if (names) return kind;
  }
  return MessageKind::Unknown;
}

bool isPrefix(const std::string& prefix, const std::string& text) { return text.compare(0, prefix.size(), prefix) == 0; }

void checkPathRules(const std::string& path) {
  const std::string folder = imageFolder(path);
  check(folder.empty() || (isPrefix(folder, path) && folder.back() == '/'));
  for (const std::string& key : {progressKeyOf(path), folderKey(path)}) {
    check(key.find('/') == std::string::npos && key.find('_') == std::string::npos);
  }
  check(sysvolFolderOf(path).find("_C/") == std::string::npos);
  check(espFolderOf(path).find("_C/") == std::string::npos);
  check(sysvolImageOf(path).find("Image_C") == std::string::npos);
  check(espImageOf(path).find("Image_C") == std::string::npos);
}

void checkBackupPoint(const std::string& base, const std::string& path) {
  const auto point = backupPointOf(base, path);
  if (!point) return;
  check(point->path == path);
  check(point->letter.size() == 2 && point->letter[1] == ':');
  // "%Y-%m-%d %H:%M" of a two-digit year.
  check(point->backupdate.size() == 16 && point->backupdate[4] == '-' && point->backupdate[10] == ' ');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check(messageKindOf(text) == expectedKind(text));

  Json::Value request;
  parseMessage(text, request);
  const std::vector<std::string> args = textList(memberOf(request, "args"));
  check(args.size() <= (memberOf(request, "args").isArray() ? memberOf(request, "args").size() : 0));

  const RestorePlan plan = restorePlanOf(request);
  const Json::Value& points = memberOf(request, "restorepoints");
  check(plan.size() <= (points.isArray() ? points.size() : 0));
  for (const auto& [target, images] : plan) {
    check(!target.empty());
    bool named = false;
    for (const Json::Value& point : points) named = named || textMember(point, "out") == target;
    check(named);
    for (const std::string& image : images) checkPathRules(image);
  }

  for (const std::string& path : args) {
    checkPathRules(path);
    checkBackupPoint(args.front(), path);
  }
  checkPathRules(text);
  return 0;
}
