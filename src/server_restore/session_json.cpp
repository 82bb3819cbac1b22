#include "server_restore/session_json.h"

#include <memory>

#include <json/reader.h>

namespace server_restore {

bool parseOperation(const std::string& text, Json::Value& value) {
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  std::string errors;
  value = Json::Value();
  try {
    return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
  } catch (const std::exception&) {
    // Deeply nested input makes the reader throw instead of failing.
    value = Json::Value();
    return false;
  }
}

std::optional<std::string> textMember(const Json::Value& object, const char* key) {
  const Json::Value& member = memberOf(object, key);
  if (member.isNull()) {
    return std::string();
  }
  if (!member.isString()) {
    return std::nullopt;
  }
  return member.asString();
}

const Json::Value& memberOf(const Json::Value& object, const char* key) {
  if (!object.isObject()) {
    return Json::Value::nullSingleton();
  }
  return object[key];
}

std::string styled(const Json::Value& value) { return value.toStyledString(); }

Json::Value opMessage(const std::string& op, const std::string& msg) {
  Json::Value message;
  message["op"] = op;
  message["msg"] = msg;
  return message;
}

}  // namespace server_restore
