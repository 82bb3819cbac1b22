#include "server_restore/restore_plan.h"

#include "server_restore/progress.h"
#include "server_restore/session_json.h"

namespace server_restore {

std::optional<RestorePlan> readRestorePlan(const Json::Value& operation, std::string& why) {
  const Json::Value& points = memberOf(operation, "restorepoints");
  RestorePlan plan;
  if (points.isNull()) {
    return plan;
  }
  if (!points.isArray()) {
    why = "\"restorepoints\" is not an array";
    return std::nullopt;
  }
  for (const Json::Value& point : points) {
    if (!point.isObject()) {
      why = "a restore point is not an object";
      return std::nullopt;
    }
    const std::optional<std::string> target = textMember(point, "out");
    if (!target) {
      why = "\"out\" is not text";
      return std::nullopt;
    }
    const Json::Value& images = point["in"];
    if (!images.isNull() && !images.isArray()) {
      why = "\"in\" is not an array";
      return std::nullopt;
    }
    std::vector<std::string> keys;
    for (const Json::Value& key : images) {
      if (!key.isString()) {
        why = "an element of \"in\" is not text";
        return std::nullopt;
      }
      keys.push_back(key.asString());
    }
    plan[*target] = std::move(keys);
  }
  return plan;
}

void seedProgress(std::vector<SImage>& selection) {
  for (SImage& image : selection) {
    if (!image.associated.empty()) {
      if (image.associated.size() == 2) {
        restorePointToProgress.set("ESPVOL", "");
        image.associated[1].letter = "ESPVOL";
      }
      image.associated[0].letter = "SYSVOL";
      restorePointToProgress.set("SYSVOL", "");
    }
    restorePointToProgress.set(image.letter.substr(0, 1), "");
  }
}

}  // namespace server_restore
