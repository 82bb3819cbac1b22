#include "control/queues.h"

MessageQueue msg_queue;
MessageQueue resp_queue;

void MessageQueue::push(std::string text) {
  {
    std::lock_guard lock(mutex_);
    texts_.push_back(std::move(text));
  }
  nonEmpty_.notify_one();
}

std::string MessageQueue::take() {
  std::unique_lock lock(mutex_);
  nonEmpty_.wait(lock, [this] { return !texts_.empty(); });
  std::string text = std::move(texts_.front());
  texts_.pop_front();
  return text;
}

std::optional<std::string> MessageQueue::takeFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!nonEmpty_.wait_for(lock, timeout, [this] { return !texts_.empty(); })) {
    return std::nullopt;
  }
  std::string text = std::move(texts_.front());
  texts_.pop_front();
  return text;
}

std::optional<std::string> MessageQueue::takeFrontIf(const std::function<bool(const std::string&)>& wanted) {
  std::lock_guard lock(mutex_);
  if (texts_.empty() || !wanted(texts_.front())) {
    return std::nullopt;
  }
  std::string text = std::move(texts_.front());
  texts_.pop_front();
  return text;
}

bool MessageQueue::empty() const {
  std::lock_guard lock(mutex_);
  return texts_.empty();
}

void MessageQueue::clear() {
  std::lock_guard lock(mutex_);
  texts_.clear();
}

std::string GetMsgFromQue() { return msg_queue.take(); }

std::string GetMsgFromResponseQue() { return resp_queue.take(); }
