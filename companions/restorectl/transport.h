#pragma once
// The connection to the agent as the session driver sees it: send one text,
// wait a bounded time for the next one. The WebSocket client implements it;
// tests feed the driver scripted replies through it.
#include <chrono>
#include <string>

namespace restorectl {

struct Incoming {
  enum class Kind { Message, TimedOut, Closed };
  Kind kind = Kind::TimedOut;
  std::string text;  // the message, or why the connection closed
};

class Transport {
public:
  virtual ~Transport() = default;
  // False when the text could not be sent; closeReason() then says why.
  [[nodiscard]] virtual bool send(const std::string& text) = 0;
  // Waits at most `timeout` for the next message.
  virtual Incoming receive(std::chrono::milliseconds timeout) = 0;
  virtual std::string closeReason() const = 0;
};

}  // namespace restorectl
