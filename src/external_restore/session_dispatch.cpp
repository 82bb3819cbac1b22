#include "external_restore/session_dispatch.h"

#include <array>
#include <utility>

#include <json/value.h>

#include "external_restore/json_message.h"

namespace {

constexpr std::array<std::pair<const char*, MessageKind>, 7> kKinds{{
    {"start-over", MessageKind::StartOver},
    {"-m", MessageKind::Mount},
    {"-i", MessageKind::DiskReport},
    {"-u", MessageKind::SubFolders},
    {"-e", MessageKind::BackupPoints},
    {"-c", MessageKind::EspCheck},
    {"-r", MessageKind::Restore},
}};

MessageKind kindOfOp(const std::string& op) {
  for (const auto& [text, kind] : kKinds) {
    if (op == text) {
      return kind;
    }
  }
  return MessageKind::Unknown;
}

MessageKind kindBySubstring(const std::string& message) {
  for (const auto& [text, kind] : kKinds) {
    if (message.find(text) != std::string::npos) {
      return kind;
    }
  }
  return MessageKind::Unknown;
}

}  // namespace

MessageKind messageKindOf(const std::string& message) {
  Json::Value request;
  if (!parseMessage(message, request)) {
    return kindBySubstring(message);
  }
  const Json::Value& op = memberOf(request, "op");
  return op.isString() ? kindOfOp(op.asString()) : MessageKind::Unknown;
}
