// Connections that are gone or never read must not hold the agent's replies,
// and their number is bounded. Servers on free ports with short limits.
#include "control/endpoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "common/ws_client.h"
#include "hardening/raw_websocket.h"

using namespace std::chrono_literals;

namespace {

class Liveness : public ::testing::Test {
protected:
  void start(WsServerConfig config) {
    config.port = 0;
    config.handshakeTimeout = 2s;
    server_ = std::make_unique<WsServer>(config);
    server_->endpoint().on_error = [this](const WsConnectionPtr&, const boost::system::error_code&) { ++ended_; };
    server_->endpoint().on_close = [this](const WsConnectionPtr&, int) { ++ended_; };
    std::string error;
    ASSERT_TRUE(server_->listen(error)) << error;
    server_->startThread();
  }

  bool waitForConnections(size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (server_->endpoint().connections().size() != count) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  std::atomic<int> ended_{0};
  std::unique_ptr<WsServer> server_;
};

TEST_F(Liveness, APeerThatNeverAnswersPingsIsClosedAndALiveOneStays) {
  WsServerConfig config;
  config.idleTimeout = 1s;
  start(config);
  RawWebSocket silent;
  ASSERT_TRUE(silent.connect(server_->port()));
  ASSERT_TRUE(silent.handshake());
  WsClient live;
  ASSERT_TRUE(live.connect("127.0.0.1", server_->port(), "/backend", 5s)) << live.lastError();
  ASSERT_TRUE(waitForConnections(2, 5s));

  // The live client answers pings while it waits for a message.
  auto received = std::async(std::launch::async, [&live] { return live.receiveText(10s); });
  // Oldest first: the silent peer would get every reply while it lasts.
  ASSERT_TRUE(waitForConnections(1, 5s)) << "the silent peer was never closed";
  std::this_thread::sleep_for(1500ms);
  ASSERT_EQ(server_->endpoint().connections().size(), 1u) << "a peer that answers pings must stay";
  server_->endpoint().connections().front()->send("reply");
  EXPECT_EQ(received.get(), "reply");
  EXPECT_TRUE(silent.waitClosedByServer(5s));
}

TEST_F(Liveness, AtTheConnectionLimitTheNextHandshakeIsRefused) {
  WsServerConfig config;
  config.maxConnections = 3;
  start(config);
  std::vector<std::unique_ptr<WsClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<WsClient>());
    ASSERT_TRUE(clients.back()->connect("127.0.0.1", server_->port(), "/backend", 5s));
  }
  ASSERT_TRUE(waitForConnections(3, 5s));
  WsClient refused;
  EXPECT_FALSE(refused.connect("127.0.0.1", server_->port(), "/backend", 5s));
  EXPECT_EQ(refused.handshakeStatus(), 503);

  clients.front()->close();
  ASSERT_TRUE(waitForConnections(2, 5s));
  WsClient next;
  EXPECT_TRUE(next.connect("127.0.0.1", server_->port(), "/backend", 5s)) << next.lastError();
}

TEST_F(Liveness, APeerThatDoesNotReadIsClosedAtTheQueueBound) {
  WsServerConfig config;
  config.maxQueuedBytes = 256 * 1024;
  config.idleTimeout = 60s;
  start(config);
  RawWebSocket reader;
  ASSERT_TRUE(reader.connect(server_->port()));
  ASSERT_TRUE(reader.handshake());
  ASSERT_TRUE(waitForConnections(1, 5s));
  const WsConnectionPtr connection = server_->endpoint().connections().front();

  // Far more than socket buffers and the bound together take.
  std::atomic<int> failed{0};
  const std::string text(64 * 1024, 'x');
  for (int i = 0; i < 2000 && ended_ == 0; ++i) {
    connection->send(text, [&failed](const boost::system::error_code& ec) {
      if (ec) {
        ++failed;
      }
    });
    if (i % 50 == 0) {
      std::this_thread::sleep_for(5ms);
    }
  }
  ASSERT_TRUE(waitForConnections(0, 10s)) << "a peer that never reads must not hold texts without bound";
  EXPECT_GT(failed.load(), 0);
}

}  // namespace
