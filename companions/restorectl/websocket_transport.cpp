#include "websocket_transport.h"

#include <cctype>

#include <deque>
#include <functional>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace restorectl {

namespace beast = boost::beast;
namespace net = boost::asio;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

bool validPort(const std::string& port) {
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int value = std::stoi(port);
  return value > 0 && value <= 65535;
}

// A polite close must not hold up the end of the program when the agent has
// gone quiet.
constexpr std::chrono::seconds kCloseTimeout{1};

}  // namespace

std::optional<AgentUrl> parseAgentUrl(const std::string& text, std::string& error) {
  const std::string scheme = "ws://";
  if (text.rfind("wss://", 0) == 0) {
    error = "the agent speaks plain ws://, not wss://";
    return std::nullopt;
  }
  if (text.rfind(scheme, 0) != 0) {
    error = "the address must start with ws://";
    return std::nullopt;
  }
  const std::string rest = text.substr(scheme.size());
  const auto slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  AgentUrl url{"", "12209", slash == std::string::npos ? "/backend" : rest.substr(slash)};
  std::string portText;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos) {
      error = "unterminated [ in the host";
      return std::nullopt;
    }
    url.host = authority.substr(1, close - 1);
    const std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        error = "unexpected text after the host";
        return std::nullopt;
      }
      portText = after.substr(1);
      if (portText.empty()) {
        error = "empty port";
        return std::nullopt;
      }
    }
  } else {
    const auto colon = authority.find(':');
    if (colon != std::string::npos && authority.find(':', colon + 1) != std::string::npos) {
      error = "write an IPv6 address in brackets, for example ws://[::1]:12209/backend";
      return std::nullopt;
    }
    url.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      portText = authority.substr(colon + 1);
      if (portText.empty()) {
        error = "empty port";
        return std::nullopt;
      }
    }
  }
  if (url.host.empty()) {
    error = "no host in the address";
    return std::nullopt;
  }
  if (!portText.empty()) {
    if (!validPort(portText)) {
      error = "the port must be a number from 1 to 65535";
      return std::nullopt;
    }
    url.port = portText;
  }
  return url;
}

void addAccessToken(AgentUrl& url, const std::string& token) {
  std::string encoded;
  for (const char c : token) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == '~') {
      encoded += c;
    } else {
      static const char digits[] = "0123456789ABCDEF";
      const auto byte = static_cast<unsigned char>(c);
      encoded += '%';
      encoded += digits[byte >> 4];
      encoded += digits[byte & 15];
    }
  }
  url.path += (url.path.find('?') == std::string::npos ? "?token=" : "&token=") + encoded;
}

struct WebSocketTransport::Impl {
  net::io_context ioc;
  tcp::resolver resolver{ioc};
  websocket::stream<beast::tcp_stream> ws{ioc};
  beast::flat_buffer buffer;
  std::deque<std::string> received;
  std::chrono::milliseconds ioTimeout{0};
  bool open = false;
  bool reading = false;
  bool closed = false;
  std::string closeReason;

  // Runs handlers until `done` holds, the deadline passes or nothing is left
  // to run; true when `done` holds.
  bool runUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    while (!done()) {
      if (ioc.stopped()) {
        ioc.restart();
      }
      if (ioc.run_one_until(deadline) == 0) {
        return done();
      }
    }
    return true;
  }

  void markClosed(const std::string& reason) {
    if (!closed) {
      closed = true;
      closeReason = reason;
    }
  }

  void fail(const beast::error_code& ec) {
    if (ec == websocket::error::closed) {
      const std::string why(ws.reason().reason.c_str());
      markClosed(why.empty() ? "the agent closed the connection"
                             : "the agent closed the connection (" + why + ")");
    } else if (ec == net::error::eof || ec == net::error::connection_reset) {
      markClosed("the connection to the agent was cut");
    } else {
      markClosed(ec.message());
    }
  }

  void startRead() {
    reading = true;
    ws.async_read(buffer, [this](const beast::error_code& ec, std::size_t) {
      reading = false;
      if (ec) {
        fail(ec);
        return;
      }
      received.push_back(beast::buffers_to_string(buffer.data()));
      buffer.consume(buffer.size());
      startRead();
    });
  }

  // Stops whatever is in flight, so that no handler outlives the wait that
  // started it with a live operation.
  void abandon(const std::string& reason) {
    markClosed(reason);
    resolver.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().close(ignored);
  }
};

std::unique_ptr<WebSocketTransport> WebSocketTransport::connect(const AgentUrl& url,
                                                                std::chrono::milliseconds timeout,
                                                                std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->ioTimeout = timeout;
  const auto deadline = Clock::now() + timeout;
  // An IPv6 literal needs its brackets in the Host header.
  const std::string where =
      (url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host) + ":" + url.port;

  struct Step {
    bool done = false;
    beast::error_code ec;
  };
  auto resolved = std::make_shared<Step>();
  tcp::resolver::results_type endpoints;
  impl->resolver.async_resolve(
      url.host, url.port,
      [resolved, &endpoints](const beast::error_code& ec, tcp::resolver::results_type results) {
        resolved->done = true;
        resolved->ec = ec;
        endpoints = std::move(results);
      });
  if (!impl->runUntil([&] { return resolved->done; }, deadline)) {
    error = "could not resolve " + url.host + " in time";
    return nullptr;
  }
  if (resolved->ec) {
    error = "could not resolve " + url.host + ": " + resolved->ec.message();
    return nullptr;
  }

  auto connected = std::make_shared<Step>();
  beast::get_lowest_layer(impl->ws).async_connect(
      endpoints, [connected](const beast::error_code& ec, const tcp::endpoint&) {
        connected->done = true;
        connected->ec = ec;
      });
  if (!impl->runUntil([&] { return connected->done; }, deadline)) {
    impl->abandon("connect timed out");
    error = "no connection to " + where + " within the time-out";
    return nullptr;
  }
  if (connected->ec) {
    error = "could not connect to " + where + ": " + connected->ec.message();
    return nullptr;
  }

  impl->ws.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
    request.set(beast::http::field::user_agent, "restorectl");
  }));
  impl->ws.read_message_max(16 * 1024 * 1024);
  auto handshaken = std::make_shared<Step>();
  impl->ws.async_handshake(where, url.path, [handshaken](const beast::error_code& ec) {
    handshaken->done = true;
    handshaken->ec = ec;
  });
  if (!impl->runUntil([&] { return handshaken->done; }, deadline)) {
    impl->abandon("handshake timed out");
    error = "the WebSocket handshake with " + where + " did not complete within the time-out";
    return nullptr;
  }
  if (handshaken->ec) {
    error = "the WebSocket handshake with " + where + url.path +
            " failed: " + handshaken->ec.message();
    return nullptr;
  }
  impl->ws.text(true);
  impl->open = true;
  return std::unique_ptr<WebSocketTransport>(new WebSocketTransport(std::move(impl)));
}

WebSocketTransport::WebSocketTransport(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WebSocketTransport::~WebSocketTransport() {
  if (!impl_->open || impl_->closed) {
    return;
  }
  auto finished = std::make_shared<bool>(false);
  impl_->ws.async_close(websocket::close_code::normal,
                        [finished](const beast::error_code&) { *finished = true; });
  if (!impl_->runUntil([&] { return *finished; }, Clock::now() + kCloseTimeout)) {
    impl_->abandon("closing");
  }
}

bool WebSocketTransport::send(const std::string& text) {
  if (impl_->closed) {
    return false;
  }
  struct Write {
    bool done = false;
    beast::error_code ec;
    std::string text;
  };
  auto write = std::make_shared<Write>();
  write->text = text;
  impl_->ws.async_write(net::buffer(write->text),
                        [write](const beast::error_code& ec, std::size_t) {
                          write->done = true;
                          write->ec = ec;
                        });
  if (!impl_->runUntil([&] { return write->done; }, Clock::now() + impl_->ioTimeout)) {
    impl_->abandon("sending to the agent timed out");
    return false;
  }
  if (write->ec) {
    impl_->fail(write->ec);
    return false;
  }
  return true;
}

Incoming WebSocketTransport::receive(std::chrono::milliseconds timeout) {
  Impl& impl = *impl_;
  if (impl.received.empty() && !impl.closed) {
    if (!impl.reading) {
      impl.startRead();
    }
    impl.runUntil([&] { return !impl.received.empty() || impl.closed; }, Clock::now() + timeout);
  }
  if (!impl.received.empty()) {
    Incoming incoming{Incoming::Kind::Message, std::move(impl.received.front())};
    impl.received.pop_front();
    return incoming;
  }
  if (impl.closed) {
    return {Incoming::Kind::Closed, impl.closeReason};
  }
  return {Incoming::Kind::TimedOut, ""};
}

std::string WebSocketTransport::closeReason() const { return impl_->closeReason; }

}  // namespace restorectl
