#include "messages.h"

#include <charconv>
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

namespace restorectl {
namespace {

std::string compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

Json::Value stringArray(const std::vector<std::string>& items) {
  Json::Value array(Json::arrayValue);
  for (const auto& item : items) {
    array.append(item);
  }
  return array;
}

std::string withArgs(const char* op, const Json::Value& args) {
  Json::Value request;
  request["op"] = op;
  request["args"] = args;
  return encodeRequest(request);
}

std::string opOnly(const char* op) {
  Json::Value request;
  request["op"] = op;
  return encodeRequest(request);
}

std::optional<std::int64_t> decimal(const std::string& text) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

// Scalars as text: the agent writes status words as strings, but a number
// where text was expected should still be shown rather than dropped.
std::optional<std::string> scalarText(const Json::Value& value) {
  if (value.isString()) {
    return value.asString();
  }
  if (value.isIntegral() || value.isDouble() || value.isBool()) {
    return value.asString();
  }
  if (value.isNull()) {
    return std::string();
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> textArray(const Json::Value& value) {
  if (value.isNull()) {
    return std::vector<std::string>{};
  }
  if (!value.isArray()) {
    return std::nullopt;
  }
  std::vector<std::string> items;
  for (const auto& item : value) {
    if (!item.isString()) {
      return std::nullopt;
    }
    items.push_back(item.asString());
  }
  return items;
}

std::optional<std::vector<std::int64_t>> integerArray(const Json::Value& value) {
  if (value.isNull()) {
    return std::vector<std::int64_t>{};
  }
  if (!value.isArray()) {
    return std::nullopt;
  }
  std::vector<std::int64_t> items;
  for (const auto& item : value) {
    if (!item.isInt64()) {
      return std::nullopt;
    }
    items.push_back(item.asInt64());
  }
  return items;
}

std::optional<std::vector<SourceDisk>> parseSourceDisks(const Json::Value& value) {
  if (value.isNull()) {
    return std::vector<SourceDisk>{};
  }
  if (!value.isArray()) {
    return std::nullopt;
  }
  std::vector<SourceDisk> disks;
  for (const auto& item : value) {
    if (!item.isObject() || !item["Size"].isInt64()) {
      return std::nullopt;
    }
    auto images = textArray(item["Drives"]);
    if (!images) {
      return std::nullopt;
    }
    disks.push_back({textMember(item, "Name"), item["Size"].asInt64(), std::move(*images)});
  }
  return disks;
}

}  // namespace

std::string encodeRequest(const Json::Value& request) {
  Json::Value rest = request;
  const Json::Value op = rest["op"];
  rest.removeMember("op");
  std::string body;
  for (const char c : compact(rest)) {
    if (c == '-') {
      body += "\\u002d";
    } else {
      body += c;
    }
  }
  if (op.isNull()) {
    return body;
  }
  const std::string head = "{\"op\":" + compact(op);
  return body == "{}" ? head + "}" : head + "," + body.substr(1);
}

std::string initRequest(const std::string& mode) {
  Json::Value request;
  request["op"] = "init";
  request["mode"] = mode;
  return encodeRequest(request);
}

std::string authRequest(const std::string& password) {
  Json::Value request;
  request["op"] = "auth";
  request["pass"] = password;
  return encodeRequest(request);
}

std::string startOverRequest() { return opOnly("start-over"); }
std::string clientListRequest() { return opOnly("-u"); }
std::string folderListRequest(const std::string& folder) {
  return withArgs("-u", stringArray({folder}));
}
std::string imageListRequest(const std::string& clientOrFolder) {
  return withArgs("-e", stringArray({clientOrFolder}));
}
std::string diskReportRequest(const std::vector<std::string>& images) {
  return withArgs("-i", stringArray(images));
}
std::string espCheckRequest(const std::string& image) { return withArgs("-c", Json::Value(image)); }

std::string restoreRequest(const std::vector<RestoreTarget>& targets) {
  Json::Value request;
  request["op"] = "-r";
  Json::Value points(Json::arrayValue);
  for (const auto& target : targets) {
    Json::Value point;
    point["out"] = target.device;
    point["in"] = stringArray(target.images);
    points.append(point);
  }
  request["restorepoints"] = points;
  return encodeRequest(request);
}

namespace {

std::string machineStopRequest(const char* op, bool force) {
  if (!force) {
    return opOnly(op);
  }
  Json::Value request;
  request["op"] = op;
  request["force"] = true;
  return encodeRequest(request);
}

}  // namespace

std::string mountRequest() { return opOnly("-m"); }
std::string cancelRequest() { return opOnly("cancel-restore"); }
std::string networkRequest() { return opOnly("config_network"); }
std::string rebootRequest(bool force) { return machineStopRequest("reboot", force); }
std::string shutdownRequest(bool force) { return machineStopRequest("shutdown", force); }

std::optional<Reply> parseReply(const std::string& text) {
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value body;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &body, &errors) ||
      !body.isObject()) {
    return std::nullopt;
  }
  Reply reply;
  reply.op = textMember(body, "op");
  reply.body = std::move(body);
  reply.raw = text;
  return reply;
}

std::string textMember(const Json::Value& object, const char* name) {
  if (!object.isObject()) {
    return "";
  }
  const Json::Value& value = object[name];
  return value.isString() ? value.asString() : "";
}

std::optional<std::vector<std::string>> parseNameList(const Reply& reply) {
  return textArray(reply.body["Result"]);
}

std::optional<std::vector<ImageEntry>> parseImageList(const Reply& reply) {
  const Json::Value& result = reply.body["Result"];
  if (!result.isArray()) {
    return result.isNull() ? std::optional(std::vector<ImageEntry>{}) : std::nullopt;
  }
  std::vector<ImageEntry> images;
  for (const auto& item : result) {
    if (!item.isObject() || !item["path"].isString()) {
      return std::nullopt;
    }
    images.push_back({textMember(item, "letter"), textMember(item, "backupdate"),
                      textMember(item, "path")});
  }
  return images;
}

ListingError parseListingError(const Reply& reply) {
  return {textMember(reply.body, "msg"), scalarText(reply.body["errorCode"]).value_or("")};
}

std::optional<std::vector<TargetDisk>> parseDiskList(const Json::Value& value) {
  if (value.isNull()) {
    return std::vector<TargetDisk>{};
  }
  if (!value.isArray()) {
    return std::nullopt;
  }
  std::vector<TargetDisk> disks;
  for (const auto& item : value) {
    if (!item.isObject()) {
      return std::nullopt;
    }
    TargetDisk disk;
    disk.device = textMember(item, "Device");
    disk.model = textMember(item, "Model");
    disk.size = decimal(textMember(item, "Size")).value_or(-1);
    disk.inUse = textMember(item, "InUse");
    const Json::Value& partitions = item["partitions"];
    if (!partitions.isNull() && !partitions.isArray()) {
      return std::nullopt;
    }
    for (const auto& part : partitions) {
      disk.partitions.push_back({textMember(part, "name"), textMember(part, "FsType"),
                                 textMember(part, "size"), textMember(part, "MOUNTPOINT")});
    }
    disks.push_back(std::move(disk));
  }
  return disks;
}

std::optional<Refusal> parseRefusal(const Reply& reply) {
  if (reply.op != "refused") {
    return std::nullopt;
  }
  Refusal refusal{textMember(reply.body, "key"), textMember(reply.body, "target"), textMember(reply.body, "reason")};
  if (refusal.key.empty()) {
    return std::nullopt;
  }
  return refusal;
}

std::optional<DiskReport> parseDiskReport(const Reply& reply) {
  const Json::Value& body = reply.body;
  DiskReport report;
  report.error = scalarText(body["error"]).value_or("");
  if (report.error == "0") {
    auto targets = parseDiskList(body["TargetDrives"]);
    auto sources = parseSourceDisks(body["SourceDisk"]);
    if (!targets || !sources) {
      return std::nullopt;
    }
    report.targets = std::move(*targets);
    report.sources = std::move(*sources);
    return report;
  }
  if (report.error == "1") {
    if (!body["source_count"].isUInt64() || !body["target_count"].isUInt64()) {
      return std::nullopt;
    }
    report.sourceCount = body["source_count"].asUInt64();
    report.targetCount = body["target_count"].asUInt64();
    return report;
  }
  if (report.error == "2") {
    auto sizes = integerArray(body["target_size"]);
    if (!body["source_size"].isInt64() || !sizes) {
      return std::nullopt;
    }
    report.sourceSize = body["source_size"].asInt64();
    report.targetSizes = std::move(*sizes);
    return report;
  }
  return std::nullopt;
}

std::optional<ProgressTable> parseProgress(const Reply& reply) {
  const Json::Value& progress = reply.body["progress"];
  if (progress.isNull()) {
    return ProgressTable{};
  }
  if (!progress.isObject()) {
    return std::nullopt;
  }
  ProgressTable table;
  for (const auto& key : progress.getMemberNames()) {
    auto status = scalarText(progress[key]);
    if (!status) {
      return std::nullopt;
    }
    table[key] = *status;
  }
  return table;
}

}  // namespace restorectl
