#include "ui_session.h"

#include <json/reader.h>

#include "common/agent_process.h"

using namespace std::chrono_literals;

bool UiSession::connect() {
  return client_.connect("127.0.0.1", AgentProcess::port, "/backend", 5s);
}

bool UiSession::send(const std::string& text) {
  return client_.sendText(text);
}

bool UiSession::send(const Json::Value& message) {
  return send(message.toStyledString());
}

std::optional<Json::Value> UiSession::waitFor(const std::function<bool(const Json::Value&)>& wanted,
                                              std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) {
      return std::nullopt;
    }
    const std::optional<std::string> text = client_.receiveText(left);
    if (!text) {
      return std::nullopt;
    }
    Json::Value message;
    Json::Reader reader;
    if (!reader.parse(*text, message)) {
      message = Json::Value(*text);
    }
    seen_.push_back(message);
    if (wanted(message)) {
      return message;
    }
  }
}

std::optional<Json::Value> UiSession::waitForOp(const std::string& op, std::chrono::milliseconds timeout) {
  return waitFor([&](const Json::Value& m) { return m.isObject() && m["op"].isString() && m["op"].asString() == op; },
                 timeout);
}

std::vector<Json::Value> UiSession::progressHistory() const {
  std::vector<Json::Value> history;
  for (const Json::Value& message : seen_) {
    if (message.isObject() && message["op"] == "-p") {
      history.push_back(message["progress"]);
    }
  }
  return history;
}

Json::Value request(const std::string& op, const Json::Value& args) {
  Json::Value message;
  message["op"] = op;
  message["args"] = args;
  return message;
}

Json::Value listOf(const std::string& text) {
  Json::Value list(Json::arrayValue);
  list.append(text);
  return list;
}
