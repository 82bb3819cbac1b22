// The WebSocket client against a small in-test server on a free port (never
// the agent's): messages both ways, time-outs, and connections that fail.
#include "websocket_transport.h"

#include <atomic>
#include <future>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace restorectl {
namespace {

namespace beast = boost::beast;
namespace net = boost::asio;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

// Accepts one connection on 127.0.0.1 and runs `script` on it in a thread.
class OneShotServer {
public:
  using Script = std::function<void(websocket::stream<tcp::socket>&)>;

  explicit OneShotServer(Script script, bool handshake = true)
      : acceptor_(ioc_, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)) {
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this, script = std::move(script), handshake] {
      try {
        tcp::socket socket(ioc_);
        acceptor_.accept(socket);
        accepted_ = true;
        if (!handshake) {
          // Holds the connection open without answering the upgrade.
          released_.get_future().wait();
          return;
        }
        websocket::stream<tcp::socket> ws(std::move(socket));
        ws.accept();
        script(ws);
      } catch (const std::exception&) {
        // The client going away mid-script ends the script; the test checks
        // what the client saw.
      }
    });
  }
  ~OneShotServer() {
    released_.set_value();
    if (!accepted_) {
      // A test that failed before connecting would leave accept() waiting.
      net::io_context ioc;
      tcp::socket unblock(ioc);
      boost::system::error_code ignored;
      unblock.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port_), ignored);
      thread_.join();
      return;
    }
    thread_.join();
  }

  AgentUrl url(bool tls = false) const { return {"127.0.0.1", std::to_string(port_), "/backend", tls}; }

private:
  net::io_context ioc_;
  tcp::acceptor acceptor_;
  unsigned short port_ = 0;
  std::promise<void> released_;
  std::atomic<bool> accepted_{false};
  std::thread thread_;
};

std::string readText(websocket::stream<tcp::socket>& ws) {
  beast::flat_buffer buffer;
  ws.read(buffer);
  return beast::buffers_to_string(buffer.data());
}

TEST(RestorectlWebSocketTransport, MessagesTravelBothWays) {
  std::promise<std::string> received;
  OneShotServer server([&](auto& ws) {
    ws.text(true);
    ws.write(net::buffer(std::string(R"({"op": "-u", "Result": []})")));
    received.set_value(readText(ws));
    ws.write(net::buffer(std::string("second")));
    readText(ws);  // until the client closes
  });
  std::string error;
  auto transport = WebSocketTransport::connect(server.url(), 5s, error);
  ASSERT_NE(transport, nullptr) << error;

  const Incoming first = transport->receive(5s);
  ASSERT_EQ(first.kind, Incoming::Kind::Message);
  EXPECT_EQ(first.text, R"({"op": "-u", "Result": []})");
  ASSERT_TRUE(transport->send(R"({"op":"-m"})"));
  EXPECT_EQ(received.get_future().get(), R"({"op":"-m"})");
  const Incoming second = transport->receive(5s);
  ASSERT_EQ(second.kind, Incoming::Kind::Message);
  EXPECT_EQ(second.text, "second");
}

TEST(RestorectlWebSocketTransport, QuietAgentGivesTimeOutThenTheLateMessage) {
  std::promise<void> go;
  OneShotServer server([&](auto& ws) {
    go.get_future().wait();
    ws.write(net::buffer(std::string("late")));
    readText(ws);
  });
  std::string error;
  auto transport = WebSocketTransport::connect(server.url(), 5s, error);
  ASSERT_NE(transport, nullptr) << error;

  EXPECT_EQ(transport->receive(50ms).kind, Incoming::Kind::TimedOut);
  go.set_value();
  const Incoming late = transport->receive(5s);
  ASSERT_EQ(late.kind, Incoming::Kind::Message);
  EXPECT_EQ(late.text, "late");
}

TEST(RestorectlWebSocketTransport, ClosedByTheAgent) {
  OneShotServer server([](auto& ws) { ws.close(websocket::close_reason(websocket::close_code::going_away, "bye")); });
  std::string error;
  auto transport = WebSocketTransport::connect(server.url(), 5s, error);
  ASSERT_NE(transport, nullptr) << error;

  const Incoming closed = transport->receive(5s);
  ASSERT_EQ(closed.kind, Incoming::Kind::Closed);
  EXPECT_THAT(closed.text, HasSubstr("closed the connection (bye)"));
  EXPECT_FALSE(transport->send("{}"));
  EXPECT_EQ(transport->receive(10ms).kind, Incoming::Kind::Closed);
}

TEST(RestorectlWebSocketTransport, CutConnection) {
  OneShotServer server([](auto& ws) { beast::get_lowest_layer(ws).close(); });
  std::string error;
  auto transport = WebSocketTransport::connect(server.url(), 5s, error);
  ASSERT_NE(transport, nullptr) << error;

  const Incoming closed = transport->receive(5s);
  EXPECT_EQ(closed.kind, Incoming::Kind::Closed);
  EXPECT_FALSE(closed.text.empty());
}

TEST(RestorectlWebSocketTransport, NobodyListening) {
  unsigned short port = 0;
  {
    net::io_context ioc;
    tcp::acceptor acceptor(ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    port = acceptor.local_endpoint().port();
  }
  std::string error;
  auto transport = WebSocketTransport::connect({"127.0.0.1", std::to_string(port), "/backend"}, 5s, error);
  EXPECT_EQ(transport, nullptr);
  EXPECT_THAT(error, HasSubstr("could not connect"));
}

TEST(RestorectlWebSocketTransport, HandshakeThatNeverCompletesTimesOut) {
  OneShotServer server([](auto&) {}, false);
  std::string error;
  auto transport = WebSocketTransport::connect(server.url(), 200ms, error);
  EXPECT_EQ(transport, nullptr);
  EXPECT_THAT(error, HasSubstr("handshake"));
}

// wss:// to an agent without TLS, and to one that never finishes the TLS
// handshake: a failure that says so, within the connect time-out.
TEST(RestorectlWebSocketTransport, TlsToAPlainServerFailsAndASilentOneTimesOut) {
  {
    OneShotServer plain([](auto&) {});
    std::string error;
    EXPECT_EQ(WebSocketTransport::connect(plain.url(true), 5s, error), nullptr);
    EXPECT_THAT(error, HasSubstr("TLS handshake"));
    EXPECT_THAT(error, HasSubstr("failed"));
  }
  OneShotServer silent([](auto&) {}, false);
  std::string error;
  EXPECT_EQ(WebSocketTransport::connect(silent.url(true), 200ms, error), nullptr);
  EXPECT_THAT(error, HasSubstr("TLS handshake"));
  EXPECT_THAT(error, HasSubstr("time-out"));
}

}  // namespace
}  // namespace restorectl
