#include "control/secret_mask.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <optional>

namespace {

std::optional<Json::Value> parseObject(const std::string& text) {
  Json::CharReaderBuilder builder;
  builder["failIfExtra"] = true;
  builder["allowComments"] = false;
  builder["collectComments"] = false;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors) || !value.isObject()) {
      return std::nullopt;
    }
  } catch (const std::exception&) {
    // Nested deeper than the reader allows.
    return std::nullopt;
  }
  return value;
}

bool isPassKey(std::string key) {
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key == "pass";
}

// True when it masked anything.
bool maskIn(Json::Value& value) {
  bool masked = false;
  if (value.isObject()) {
    for (const std::string& name : value.getMemberNames()) {
      Json::Value& member = value[name];
      if (isPassKey(name)) {
        member = "***";
        masked = true;
      } else {
        masked = maskIn(member) || masked;
      }
    }
  } else if (value.isArray()) {
    for (Json::Value& element : value) {
      masked = maskIn(element) || masked;
    }
  }
  return masked;
}

}  // namespace

std::string maskSecrets(const std::string& text) {
  std::optional<Json::Value> message = parseObject(text);
  if (!message || !(*message)["op"].isString()) {
    return "(" + std::to_string(text.size()) + " bytes, not a JSON object with a text \"op\")";
  }
  if (!maskIn(*message)) {
    return text;
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, *message);
}
