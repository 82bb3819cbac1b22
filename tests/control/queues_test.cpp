#include "control/queues.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(MessageQueue, KeepsPushOrderAndEmptyTexts) {
  MessageQueue queue;
  queue.push("first");
  queue.push("");
  queue.push("third");
  EXPECT_EQ(queue.take(), "first");
  EXPECT_EQ(queue.take(), "");
  EXPECT_EQ(queue.take(), "third");
  EXPECT_TRUE(queue.empty());
  EXPECT_FALSE(queue.takeFor(10ms).has_value());
}

TEST(MessageQueue, WaitingTakerWakesOnPush) {
  MessageQueue queue;
  std::atomic<bool> taken{false};
  std::string text;
  std::thread taker([&] {
    text = queue.take();
    taken = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(taken);
  queue.push("hello");
  taker.join();
  EXPECT_EQ(text, "hello");
}

TEST(MessageQueue, NoTextLostOrReorderedPerProducerUnderContention) {
  MessageQueue queue;
  constexpr int producers = 4;
  constexpr int perProducer = 5000;
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&queue, p] {
      for (int i = 0; i < perProducer; ++i) {
        queue.push(std::to_string(p) + ":" + std::to_string(i));
      }
    });
  }
  std::vector<int> next(producers, 0);
  std::set<std::string> seen;
  for (int n = 0; n < producers * perProducer; ++n) {
    const std::string text = queue.take();
    const int p = std::stoi(text.substr(0, text.find(':')));
    const int i = std::stoi(text.substr(text.find(':') + 1));
    EXPECT_EQ(i, next[p]) << "out of order for producer " << p;
    next[p] = i + 1;
    seen.insert(text);
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(producers * perProducer));
  EXPECT_TRUE(queue.empty());
}

TEST(GlobalQueues, ResponseAndMessageQueuesAreSeparate) {
  msg_queue.push("to session");
  resp_queue.push("to ui");
  EXPECT_EQ(GetMsgFromResponseQue(), "to ui");
  EXPECT_EQ(GetMsgFromQue(), "to session");
}
