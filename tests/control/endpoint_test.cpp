// The WebSocket server on its own, on a free port chosen by the system, with
// handlers that record what they see.
#include "control/endpoint.h"

#include "common/loopback.h"
#include "common/ws_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

class EventLog {
public:
  void add(std::string event) {
    {
      const std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
    }
    changed_.notify_all();
  }
  bool waitFor(const std::string& event, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      return std::find(events_.begin(), events_.end(), event) != events_.end();
    });
  }
  std::vector<std::string> all() const {
    const std::lock_guard lock(mutex_);
    return events_;
  }

private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

class EndpointTest : public ::testing::Test {
protected:
  void SetUp() override {
    WsEndpoint& endpoint = server_.endpoint();
    endpoint.on_open = [this](const WsConnectionPtr& c) { events.add("open " + c->identity()); };
    endpoint.on_message = [this](const WsConnectionPtr& c, const std::string& text) {
      events.add("message " + c->identity() + " " + text);
    };
    endpoint.on_close = [this](const WsConnectionPtr& c, int status) {
      events.add("close " + c->identity() + " " + std::to_string(status));
    };
    endpoint.on_error = [this](const WsConnectionPtr& c, const boost::system::error_code&) {
      events.add("error " + c->identity());
    };
    std::string error;
    ASSERT_TRUE(server_.listen(error)) << error;
    server_.startThread();
  }

  static WsServerConfig config() {
    WsServerConfig c;
    c.port = 0;
    c.handshakeTimeout = 1s;
    return c;
  }

  // Connects a client and returns the identity the server gave it.
  std::string connect(WsClient& client, const std::string& path = "/backend") {
    const auto before = server_.endpoint().connections().size();
    EXPECT_TRUE(client.connect("127.0.0.1", server_.port(), path, 5s)) << client.lastError();
    for (int i = 0; i < 250 && server_.endpoint().connections().size() == before; ++i) {
      std::this_thread::sleep_for(20ms);
    }
    const auto open = server_.endpoint().connections();
    return open.size() > before ? open.back()->identity() : std::string();
  }

  // Declared first so that it outlives the server, whose thread may still be
  // reporting while the fixture is torn down.
  EventLog events;
  WsServer server_{config()};
};

TEST_F(EndpointTest, ReportsOpenMessagesAndCloseOfOneConnection) {
  WsClient client;
  const std::string id = connect(client);
  EXPECT_TRUE(std::regex_match(id, std::regex("0x[0-9a-f]+"))) << id;
  EXPECT_TRUE(events.waitFor("open " + id, 5s));

  ASSERT_TRUE(client.sendText("first"));
  ASSERT_TRUE(client.sendText(""));
  EXPECT_TRUE(events.waitFor("message " + id + " ", 5s));

  server_.endpoint().connections().front()->send("answer");
  EXPECT_EQ(client.receiveText(5s), "answer");

  client.close();
  EXPECT_TRUE(events.waitFor("close " + id + " 1000", 5s));
  EXPECT_TRUE(server_.endpoint().connections().empty());
  EXPECT_EQ(events.all(), (std::vector<std::string>{"open " + id, "message " + id + " first",
                                                    "message " + id + " ", "close " + id + " 1000"}));
}

TEST_F(EndpointTest, ServesOnlyTheBackendPath) {
  for (const std::string path : {"/backend", "/backend/", "/backend?client=1"}) {
    WsClient client;
    EXPECT_TRUE(client.connect("127.0.0.1", server_.port(), path, 5s)) << path << ": " << client.lastError();
    EXPECT_EQ(client.handshakeStatus(), 101) << path;
    client.close();
  }
  for (const std::string path : {"/", "/backendx", "/backend//", "/api/backend", "/Backend"}) {
    WsClient client;
    EXPECT_FALSE(client.connect("127.0.0.1", server_.port(), path, 5s)) << path;
    EXPECT_EQ(client.handshakeStatus(), 404) << path;
  }
  std::this_thread::sleep_for(100ms);
  const auto all = events.all();
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const std::string& e) { return e.rfind("open ", 0) == 0; }),
            3);
}

TEST_F(EndpointTest, OversizeOrBinaryMessagesEndOnlyTheirConnection) {
  WsClient big;
  WsClient binary;
  WsClient bystander;
  const std::string bigId = connect(big);
  const std::string binaryId = connect(binary);
  const std::string bystanderId = connect(bystander);

  big.sendText(std::string((1u << 20) + 1, 'x'));
  EXPECT_EQ(big.waitClosed(5s), 1009);
  EXPECT_TRUE(events.waitFor("error " + bigId, 5s));

  ASSERT_TRUE(binary.sendBinary("\x01\x02"));
  EXPECT_EQ(binary.waitClosed(5s), 1003);
  EXPECT_TRUE(events.waitFor("close " + binaryId + " 1003", 5s));

  // The limit itself is still accepted.
  const std::string largest((1u << 20), 'y');
  ASSERT_TRUE(bystander.sendText(largest));
  EXPECT_TRUE(events.waitFor("message " + bystanderId + " " + largest, 5s));
  ASSERT_EQ(server_.endpoint().connections().size(), 1u);
  server_.endpoint().connections().front()->send("still served");
  EXPECT_EQ(bystander.receiveText(5s), "still served");
}

TEST_F(EndpointTest, AConnectionDroppedWithoutCloseIsAnError) {
  std::string id;
  {
    WsClient client;
    id = connect(client);
  }
  EXPECT_TRUE(events.waitFor("error " + id, 5s));
  EXPECT_TRUE(server_.endpoint().connections().empty());
}

TEST_F(EndpointTest, TextsSentFromAnotherThreadArriveWholeAndInOrder) {
  WsClient client;
  connect(client);
  const WsConnectionPtr connection = server_.endpoint().connections().front();
  std::thread sender([&] {
    for (int i = 0; i < 200; ++i) {
      connection->send("text " + std::to_string(i));
    }
  });
  sender.join();
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(client.receiveText(5s), "text " + std::to_string(i));
  }
}

TEST_F(EndpointTest, SendingToAClosedConnectionReportsTheFailure) {
  WsClient client;
  connect(client);
  const WsConnectionPtr connection = server_.endpoint().connections().front();
  client.close();
  ASSERT_TRUE(events.waitFor("close " + connection->identity() + " 1000", 5s));

  std::promise<boost::system::error_code> result;
  connection->send("too late", [&](const boost::system::error_code& ec) { result.set_value(ec); });
  auto outcome = result.get_future();
  ASSERT_EQ(outcome.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(outcome.get());
}

TEST_F(EndpointTest, AnUnfinishedHandshakeTimesOutButAnOpenConnectionDoesNot) {
  WsClient idle;
  const std::string idleId = connect(idle);

  const int fd = connectToLoopback(server_.port());
  ASSERT_GE(fd, 0);
  const std::string partial = "GET /backend HTTP/1.1\r\nHost: x\r\n";
  ASSERT_EQ(::send(fd, partial.data(), partial.size(), 0), static_cast<ssize_t>(partial.size()));
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte = 0;
  // The server gives up after its one-second handshake time-out and closes.
  EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);
  close(fd);

  // Well past the handshake time-out, the open connection still works.
  ASSERT_TRUE(idle.sendText("after a while"));
  EXPECT_TRUE(events.waitFor("message " + idleId + " after a while", 5s));
}

}  // namespace
