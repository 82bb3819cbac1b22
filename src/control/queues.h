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

// Generation of a text meant for every open connection rather than for the
// connection of one session.
constexpr unsigned kEveryConnection = ~0u;

class MessageQueue {
public:
  struct Entry {
    unsigned generation;
    std::string text;
  };

  // Queues `text` for the calling session, or, on a thread that is no
  // session, for the newest generation: a message belongs to the session
  // that was current when it arrived, and a reply to the session that made it.
  void push(std::string text);
  // Queues `text` for the session of `generation` only.
  void push(std::string text, unsigned generation);
  // Waits until a text is queued and removes it.
  std::string take();
  // Like take(), with the generation the text was queued for.
  Entry takeEntry();
  // Waits at most `timeout`; nothing when the queue stayed empty.
  std::optional<std::string> takeFor(std::chrono::milliseconds timeout);
  // Removes the front text only when `wanted` accepts it; never waits. On a
  // session thread only a text of its own generation counts (earlier ones are
  // dropped first).
  std::optional<std::string> takeFrontIf(const std::function<bool(const std::string&)>& wanted);
  // The next text of session `generation`. Texts of earlier generations are
  // logged and dropped on the way; nothing once a newer generation has begun
  // (the session has been replaced). Generation 0 takes every text.
  std::optional<std::string> takeForSession(unsigned generation);
  // Wakes every waiting taker, so that a replaced session notices at once.
  void wakeTakers();
  bool empty() const;
  void clear();

private:
  // With the lock held.
  void dropEarlierThan(unsigned generation);

  mutable std::mutex mutex_;
  std::condition_variable nonEmpty_;
  std::deque<Entry> texts_;
};

// User interface -> running session.
extern MessageQueue msg_queue;
// Anything -> user interface (drained by the response pump only). A text goes
// to the connection that started the session it was queued for, or, queued
// for kEveryConnection, to every open connection.
extern MessageQueue resp_queue;

// The next message for the calling session; a session that has been replaced
// by a newer "init" receives {"op": "start-over"} instead, whichever state it
// waits in.
std::string GetMsgFromQue();
std::string GetMsgFromResponseQue();
MessageQueue::Entry GetEntryFromResponseQue();
