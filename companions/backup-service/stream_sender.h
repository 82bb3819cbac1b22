#pragma once
// Writes one download's bytes to the client socket and applies the byte
// budget of the stall and close faults. Once the budget is spent, or the
// client is gone, every further send returns false.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class StreamSender {
public:
  enum class Exhausted { Stall, Close };

  explicit StreamSender(int socket) : socket_(socket) {}
  void setBudget(int64_t bytes, Exhausted action);

  bool send(const char* data, size_t size);
  // Sends `size` bytes of `file` from `offset` without copying them through
  // user space.
  bool sendFile(int file, int64_t offset, size_t size);
  // The bytes the client was handed whole, call by call: a call that fails
  // counts none of its bytes.
  int64_t sent() const { return sent_; }
  // Why the connection broke, with the system's reason; empty while it holds
  // and when only the budget ended it.
  const std::string& failure() const { return failure_; }

private:
  // How much of `size` may still go out; runs the fault action when the
  // budget ends within it.
  size_t allowance(size_t size) const;
  bool finishBudget();
  void waitForPeerToLeave();
  void fail(std::string why);

  int socket_;
  int64_t sent_ = 0;
  std::optional<int64_t> budget_;
  Exhausted action_ = Exhausted::Close;
  bool broken_ = false;
  std::string failure_;
};
