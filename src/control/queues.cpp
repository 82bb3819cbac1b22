#include "control/queues.h"

#include <json/value.h>

#include "control/log_line.h"
#include "control/secret_mask.h"
#include "control/session_generation.h"

MessageQueue msg_queue;
MessageQueue resp_queue;

void MessageQueue::push(std::string text) {
  const unsigned own = sessionGeneration();
  push(std::move(text), own != 0 ? own : currentSessionGeneration());
}

void MessageQueue::push(std::string text, unsigned generation) {
  {
    std::lock_guard lock(mutex_);
    texts_.push_back({generation, std::move(text)});
  }
  nonEmpty_.notify_all();
}

std::string MessageQueue::take() { return takeEntry().text; }

MessageQueue::Entry MessageQueue::takeEntry() {
  std::unique_lock lock(mutex_);
  nonEmpty_.wait(lock, [this] { return !texts_.empty(); });
  Entry entry = std::move(texts_.front());
  texts_.pop_front();
  return entry;
}

std::optional<std::string> MessageQueue::takeFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!nonEmpty_.wait_for(lock, timeout, [this] { return !texts_.empty(); })) {
    return std::nullopt;
  }
  std::string text = std::move(texts_.front().text);
  texts_.pop_front();
  return text;
}

std::optional<std::string> MessageQueue::takeFrontIf(const std::function<bool(const std::string&)>& wanted) {
  std::lock_guard lock(mutex_);
  const unsigned generation = sessionGeneration();
  if (generation != 0) {
    dropEarlierThan(generation);
    if (!texts_.empty() && texts_.front().generation != generation) {
      return std::nullopt;
    }
  }
  if (texts_.empty() || !wanted(texts_.front().text)) {
    return std::nullopt;
  }
  std::string text = std::move(texts_.front().text);
  texts_.pop_front();
  return text;
}

std::optional<std::string> MessageQueue::takeForSession(unsigned generation) {
  if (generation == 0) {
    return take();
  }
  std::unique_lock lock(mutex_);
  for (;;) {
    dropEarlierThan(generation);
    if (!texts_.empty() && texts_.front().generation == generation) {
      std::string text = std::move(texts_.front().text);
      texts_.pop_front();
      return text;
    }
    // Checked under the lock that wakeTakers() takes, so a replacement that
    // happens now cannot slip between the test and the wait.
    if (currentSessionGeneration() != generation) {
      return std::nullopt;
    }
    nonEmpty_.wait(lock);
  }
}

void MessageQueue::dropEarlierThan(unsigned generation) {
  while (!texts_.empty() && texts_.front().generation < generation) {
    logLine("Dropping a message sent to an earlier session: " + maskSecrets(texts_.front().text));
    texts_.pop_front();
  }
}

void MessageQueue::wakeTakers() {
  { std::lock_guard lock(mutex_); }
  nonEmpty_.notify_all();
}

bool MessageQueue::empty() const {
  std::lock_guard lock(mutex_);
  return texts_.empty();
}

void MessageQueue::clear() {
  std::lock_guard lock(mutex_);
  texts_.clear();
}

std::string GetMsgFromQue() {
  if (std::optional<std::string> text = msg_queue.takeForSession(sessionGeneration())) {
    return std::move(*text);
  }
  logLine("This session has been replaced by a newer one; starting over");
  Json::Value startOver;
  startOver["op"] = "start-over";
  return startOver.toStyledString();
}

std::string GetMsgFromResponseQue() { return resp_queue.take(); }

MessageQueue::Entry GetEntryFromResponseQue() { return resp_queue.takeEntry(); }
