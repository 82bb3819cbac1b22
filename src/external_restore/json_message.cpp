#include "external_restore/json_message.h"

#include <exception>
#include <memory>

#include <json/reader.h>

#include "control/log_line.h"
#include "control/queues.h"

bool parseMessage(const std::string& text, Json::Value& value) {
  try {
    Json::CharReaderBuilder builder;
    // Text after the value makes the message invalid; without this the
    // reader stops at the end of the first value ("-c x" reads as -0).
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
  } catch (const std::exception&) {
    // Nesting deeper than the reader's stack limit is reported by a throw.
    value = Json::Value();
    return false;
  }
}

const Json::Value& memberOf(const Json::Value& object, const char* key) {
  static const Json::Value none;
  if (!object.isObject()) {
    return none;
  }
  const Json::Value* found = object.find(key, key + std::char_traits<char>::length(key));
  return found != nullptr ? *found : none;
}

std::string textMember(const Json::Value& object, const char* key) {
  const Json::Value& member = memberOf(object, key);
  return member.isString() ? member.asString() : std::string();
}

std::vector<std::string> textList(const Json::Value& array) {
  std::vector<std::string> texts;
  if (!array.isArray()) {
    return texts;
  }
  for (const Json::Value& element : array) {
    if (element.isString()) {
      texts.push_back(element.asString());
    }
  }
  return texts;
}

void sendReply(const Json::Value& reply) {
  const std::string text = reply.toStyledString();
  logLayout(text);
  resp_queue.push(text);
}
