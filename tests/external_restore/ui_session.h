#pragma once
// The user interface's side of an external-drive session against the real
// agent: sends requests and waits for the replies it cares about, keeping
// every message it saw.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "common/ws_client.h"

class UiSession {
public:
  // Connects to the agent on its port; false with the reason in lastError().
  bool connect();
  bool send(const std::string& text);
  bool send(const Json::Value& message);

  // The first message from now on for which `wanted` holds; nothing when
  // none came within `timeout`.
  std::optional<Json::Value> waitFor(const std::function<bool(const Json::Value&)>& wanted,
                                     std::chrono::milliseconds timeout);
  // The first message with this "op".
  std::optional<Json::Value> waitForOp(const std::string& op, std::chrono::milliseconds timeout);

  // Every message received so far, in order.
  const std::vector<Json::Value>& seen() const { return seen_; }
  // The "progress" objects of every "-p" message so far, in order.
  std::vector<Json::Value> progressHistory() const;

  const std::string& lastError() const { return client_.lastError(); }

private:
  WsClient client_;
  std::vector<Json::Value> seen_;
};

// [text]
Json::Value listOf(const std::string& text);

// {"op": op, "args": args}
Json::Value request(const std::string& op, const Json::Value& args);
