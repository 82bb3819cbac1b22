#pragma once
// The two process-wide text queues between the endpoint and the workers.
// Takers wake on a condition variable, so a pushed text is seen at once rather
// than after a poll interval; order is the order of the pushes.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

class MessageQueue {
public:
  void push(std::string text);
  // Waits until a text is queued and removes it.
  std::string take();
  // Waits at most `timeout`; nothing when the queue stayed empty.
  std::optional<std::string> takeFor(std::chrono::milliseconds timeout);
  // Removes the front text only when `wanted` accepts it; never waits.
  std::optional<std::string> takeFrontIf(const std::function<bool(const std::string&)>& wanted);
  bool empty() const;
  void clear();

private:
  mutable std::mutex mutex_;
  std::condition_variable nonEmpty_;
  std::deque<std::string> texts_;
};

// User interface -> running session.
extern MessageQueue msg_queue;
// Anything -> user interface (drained by the response pump only).
extern MessageQueue resp_queue;

std::string GetMsgFromQue();
std::string GetMsgFromResponseQue();
