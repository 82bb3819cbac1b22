#pragma once
// What the endpoint checks and serves besides the WebSocket: who may connect
// at all, and the folder of the web page.
#include "control/access_policy.h"

#include <filesystem>
#include <functional>

struct HttpGate {
  // Judges every request; when empty, everyone is let in.
  std::function<AccessDecision(const AccessRequest&)> access;
  // The folder of the web page; when empty, no page is served.
  std::filesystem::path pageRoot;
};
