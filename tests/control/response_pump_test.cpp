#include "control/response_pump.h"

#include "control/queues.h"
#include "control/session_owners.h"

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class RecordingConnection : public WsConnection {
public:
  explicit RecordingConnection(std::string id, boost::system::error_code result = {})
      : id_(std::move(id)), result_(result) {}

  std::string identity() const override { return id_; }
  void send(std::string text, SendDone done) override {
    {
      const std::lock_guard lock(mutex_);
      sent_.push_back(std::move(text));
    }
    if (done) {
      done(result_);
    }
  }
  std::vector<std::string> sent() const {
    const std::lock_guard lock(mutex_);
    return sent_;
  }

private:
  std::string id_;
  boost::system::error_code result_;
  mutable std::mutex mutex_;
  std::vector<std::string> sent_;
};

class ResponsePumpTest : public ::testing::Test {
protected:
  void SetUp() override {
    resp_queue.clear();
    sessionOwners.clear();
  }
  void TearDown() override {
    resp_queue.clear();
    sessionOwners.clear();
  }
  WsEndpoint endpoint;
};

TEST_F(ResponsePumpTest, EachTextGoesToTheOldestConnectionOnly) {
  auto first = std::make_shared<RecordingConnection>("0x1");
  auto second = std::make_shared<RecordingConnection>("0x2");
  endpoint.add(first);
  endpoint.add(second);
  resp_queue.push("one");
  resp_queue.push("");
  resp_queue.push("three");

  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 3; ++i) {
    pumpOneResponse(endpoint);
  }
  const std::string log = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(first->sent(), (std::vector<std::string>{"one", "", "three"}));
  EXPECT_TRUE(second->sent().empty());
  EXPECT_NE(log.find("Server: Sending message \"one\" to 0x1\n"), std::string::npos) << log;

  endpoint.remove(first);
  resp_queue.push("four");
  pumpOneResponse(endpoint);
  EXPECT_EQ(second->sent(), std::vector<std::string>{"four"});
}

TEST_F(ResponsePumpTest, ATextTakenWhileNoConnectionIsOpenWaitsForOne) {
  resp_queue.push("kept");
  auto pumped = std::async(std::launch::async, [this] { pumpOneResponse(endpoint); });
  EXPECT_EQ(pumped.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  // The pump has the text by now, but nobody to give it to.
  EXPECT_TRUE(resp_queue.empty());

  auto late = std::make_shared<RecordingConnection>("0x3");
  endpoint.add(late);
  ASSERT_EQ(pumped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(late->sent(), std::vector<std::string>{"kept"});
}

TEST_F(ResponsePumpTest, AFailedSendIsLoggedAndNotRetried) {
  auto broken = std::make_shared<RecordingConnection>("0x4", boost::asio::error::broken_pipe);
  endpoint.add(broken);
  resp_queue.push("lost");

  ::testing::internal::CaptureStdout();
  pumpOneResponse(endpoint);
  const std::string log = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(broken->sent(), std::vector<std::string>{"lost"});
  const boost::system::error_code ec = boost::asio::error::broken_pipe;
  EXPECT_NE(log.find("Server: Error sending message. Error: system:" + std::to_string(ec.value()) +
                     ", error message: " + ec.message() + "\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(resp_queue.empty());
}

TEST_F(ResponsePumpTest, ProgressReachesEveryViewAndRepliesTheSessionsOwn) {
  auto first = std::make_shared<RecordingConnection>("0x1");
  auto owner = std::make_shared<RecordingConnection>("0x2");
  auto late = std::make_shared<RecordingConnection>("0x3");
  endpoint.add(first);
  endpoint.add(owner);
  sessionOwners.record(7, owner);
  resp_queue.push("listing", 7);
  resp_queue.push("progress", kEveryConnection);
  resp_queue.push("unowned", 8);
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 3; ++i) {
    pumpOneResponse(endpoint);
  }

  // The owner gone, its session's replies go to the oldest open connection.
  endpoint.add(late);
  endpoint.remove(owner);
  resp_queue.push("after", 7);
  resp_queue.push("outcome", kEveryConnection);
  pumpOneResponse(endpoint);
  pumpOneResponse(endpoint);
  ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(first->sent(), (std::vector<std::string>{"progress", "unowned", "after", "outcome"}));
  EXPECT_EQ(owner->sent(), (std::vector<std::string>{"listing", "progress"}));
  EXPECT_EQ(late->sent(), std::vector<std::string>{"outcome"});
}

}  // namespace
