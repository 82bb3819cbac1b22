// The WebSocket server over TLS on its own, on a free port chosen by the
// system: the same sessions as without TLS, so what differs is the handshake
// before the HTTP request and who may hold a place meanwhile.
#include "control/endpoint.h"
#include "control/tls_context.h"

#include "common/loopback.h"
#include "common/temp_dir.h"
#include "common/tls_certificate.h"
#include "common/ws_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

class TlsSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    pair_ = makeTestCertificate(dir_.path(), "server");
    std::string error;
    WsServerConfig config;
    config.port = 0;
    config.handshakeTimeout = 1s;
    config.maxPending = 1;
    config.tls = TlsContext::load({pair_.certificate, pair_.key}, error);
    ASSERT_TRUE(config.tls) << error;
    server_ = std::make_unique<WsServer>(config);
    server_->endpoint().on_message = [this](const WsConnectionPtr&, const std::string& text) {
      const std::lock_guard lock(mutex_);
      messages_.push_back(text);
    };
    ASSERT_TRUE(server_->listen(error)) << error;
    server_->startThread();
  }

  bool connect(WsClient& client, std::chrono::milliseconds timeout = 5s) {
    client.useTls(pair_.certificate);
    if (!client.connect("127.0.0.1", server_->port(), "/backend", timeout)) {
      return false;
    }
    for (int i = 0; i < 250 && server_->endpoint().connections().empty(); ++i) {
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  std::vector<std::string> messages() {
    const std::lock_guard lock(mutex_);
    return messages_;
  }

  TempDir dir_;
  TestCertificate pair_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
  std::unique_ptr<WsServer> server_;
};

TEST_F(TlsSessionTest, TextsGoBothWaysWholeAndInOrder) {
  WsClient client;
  ASSERT_TRUE(connect(client)) << client.lastError();
  ASSERT_EQ(server_->endpoint().connections().size(), 1u);
  const WsConnectionPtr connection = server_->endpoint().connections().front();
  const std::string large(300 * 1024, 'x');
  std::thread sender([&] {
    for (int i = 0; i < 100; ++i) {
      connection->send("text " + std::to_string(i));
    }
    connection->send(large);
  });
  sender.join();
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(client.receiveText(5s), "text " + std::to_string(i));
  }
  EXPECT_EQ(client.receiveText(5s), large);

  ASSERT_TRUE(client.sendText("from the page"));
  for (int i = 0; i < 250 && messages().empty(); ++i) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(messages(), std::vector<std::string>{"from the page"});
}

TEST_F(TlsSessionTest, ASilentPeerHoldsItsPendingPlaceOnlyUntilTheTimeOut) {
  const int silent = connectToLoopback(server_->port());
  ASSERT_GE(silent, 0);
  std::this_thread::sleep_for(200ms);
  WsClient refused;
  EXPECT_FALSE(connect(refused, 2s)) << "the silent handshake did not count as pending";

  pollfd p{silent, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 3000), 1) << "the server kept a connection that never said hello";
  char byte = 0;
  EXPECT_LE(::recv(silent, &byte, 1, MSG_DONTWAIT), 0);
  ::close(silent);

  WsClient admitted;
  EXPECT_TRUE(connect(admitted)) << admitted.lastError();
}

}  // namespace
