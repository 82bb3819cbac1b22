#pragma once
// The WebSocket connection to the agent's endpoint (Boost.Beast), plain or
// over TLS, with every step bounded by a time-out.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "transport.h"

namespace restorectl {

struct AgentUrl {
  std::string host;
  std::string port;
  std::string path;
  bool tls = false;  // wss://
};

// ws://HOST[:PORT][/PATH] or wss://...; the port defaults to the agent's 12209
// and the path to /backend. nullopt with `error` set for anything else.
std::optional<AgentUrl> parseAgentUrl(const std::string& text, std::string& error);

// Adds the agent's access token to the path as the query parameter "token".
void addAccessToken(AgentUrl& url, const std::string& token);

class WebSocketTransport final : public Transport {
public:
  // Connects and completes the TLS (for wss://) and WebSocket handshakes
  // within `timeout`; a send that cannot complete within it too fails. Over
  // TLS the agent's certificate must chain to `caFile` when given, else to the
  // system's trusted authorities, and must name the host of `url`. nullptr
  // with `error` set on failure.
  static std::unique_ptr<WebSocketTransport> connect(const AgentUrl& url,
                                                     std::chrono::milliseconds timeout,
                                                     std::string& error,
                                                     const std::optional<std::string>& caFile = std::nullopt);
  ~WebSocketTransport() override;
  WebSocketTransport(const WebSocketTransport&) = delete;
  WebSocketTransport& operator=(const WebSocketTransport&) = delete;

  bool send(const std::string& text) override;
  Incoming receive(std::chrono::milliseconds timeout) override;
  std::string closeReason() const override;

private:
  struct Impl;
  explicit WebSocketTransport(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace restorectl
