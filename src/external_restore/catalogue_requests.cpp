#include "external_restore/catalogue_requests.h"

#include <json/value.h>

#include "control/log_line.h"
#include "control/queues.h"
#include "external_restore/catalogue.h"
#include "external_restore/folder_search.h"
#include "external_restore/json_message.h"

namespace {

constexpr const char* kInvalidJson = "{\"error\":\"invalid json\"}";

void sendInvalidJson() {
  logLine(kInvalidJson);
  resp_queue.push(kInvalidJson);
}

// The reply carries the request's own "op"; `kind` stands in when that is not
// a string (the request was matched by a substring elsewhere in its text).
Json::Value replyTo(const Json::Value& request, const char* kind) {
  std::string op = textMember(request, "op");
  Json::Value reply;
  reply["op"] = op.empty() ? kind : op;
  return reply;
}

std::string firstArgument(const Json::Value& request) {
  const std::vector<std::string> args = textList(memberOf(request, "args"));
  return args.empty() ? std::string() : args.front();
}

}  // namespace

void answerSubFolders(const std::string& message, const BackupFolders& folders) {
  Json::Value request;
  if (!parseMessage(message, request)) {
    sendInvalidJson();
    return;
  }
  logLine("Operation revd " + textMember(request, "op"));
  Json::Value reply = replyTo(request, "-u");
  reply["Result"] = Json::Value(Json::arrayValue);
  const std::string folder = firstArgument(request);
  if (!folder.empty() && folders.holds(folder)) {
    if (const auto names = listSubFolders(folder)) {
      for (const std::string& name : *names) {
        reply["Result"].append(name);
      }
    }
  }
  sendReply(reply);
}

void answerBackupPoints(const std::string& message, const BackupFolders& folders) {
  Json::Value request;
  const bool parsed = parseMessage(message, request);
  logLine("Operation revd " + textMember(request, "op"));
  Json::Value reply = replyTo(request, "-e");
  reply["Result"] = Json::Value(Json::arrayValue);
  const std::string base = parsed ? firstArgument(request) : std::string();
  if (!base.empty() && isVolPresent(base) && folders.holds(base)) {
    for (const BackupPoint& point : listBackupPoints(base)) {
      Json::Value entry;
      entry["letter"] = point.letter;
      entry["backupdate"] = point.backupdate;
      entry["path"] = point.path;
      reply["Result"].append(entry);
    }
  }
  sendReply(reply);
}

void answerEspCheck(const std::string& message, const BackupFolders& folders) {
  Json::Value request;
  if (!parseMessage(message, request)) {
    sendInvalidJson();
    return;
  }
  Json::Value reply = replyTo(request, "-c");
  const std::string image = textMember(request, "args");
  reply["Result"] = folders.holds(imageFolder(image)) ? espCheck(image) : std::string();
  sendReply(reply);
}
