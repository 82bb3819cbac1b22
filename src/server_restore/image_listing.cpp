#include "server_restore/image_listing.h"

#include <set>

#include "control/log_line.h"

namespace server_restore {

std::string imageKey(const SImage& image) { return image.backup_date + "_" + image.letter; }

std::vector<SImage> uniqueImages(const std::vector<SImage>& sorted) {
  std::vector<SImage> unique;
  std::set<std::string> seen;
  for (const SImage& image : sorted) {
    if (!seen.insert(imageKey(image)).second) {
      logLine("Duplicate entries are handled..");
      continue;
    }
    unique.push_back(image);
  }
  return unique;
}

Json::Value imageListAnswer(const std::vector<SImage>& unique) {
  Json::Value answer;
  answer["op"] = "-e";
  answer["Result"] = Json::Value(Json::arrayValue);
  for (auto image = unique.rbegin(); image != unique.rend(); ++image) {
    Json::Value entry;
    entry["letter"] = image->letter;
    entry["backupdate"] = image->backup_date;
    entry["path"] = imageKey(*image);
    answer["Result"].append(entry);
  }
  return answer;
}

std::optional<Json::Value> imageListingError(int code, size_t count) {
  std::string msg;
  std::string errorCode = "1";
  if (code == 2) {
    msg = "no_server_found`";
    errorCode = "3";
  } else if (code == 1 || code == 10) {
    msg = "internal_error";
    errorCode = "2";
  }
  if (count == 0) {
    code = 3;
    msg = "no_images_for_client";
    errorCode = "1";
  }
  if (code == 0) {
    return std::nullopt;
  }
  Json::Value error;
  error["op"] = "error";
  error["msg"] = msg;
  error["errorCode"] = errorCode;
  return error;
}

}  // namespace server_restore
