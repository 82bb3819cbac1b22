#include "common/ws_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <deque>
#include <variant>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

// Everything runs as asynchronous operations on a private io_context that
// only the calling thread drives, each call for at most its time-out. A read
// is kept pending between calls, so no operation is ever cancelled halfway.
struct WsClient::Impl {
  // Shared with the completion handler, which may outlive a timed-out call.
  struct Outcome {
    bool finished = false;
    beast::error_code ec;
  };

  using PlainWs = websocket::stream<beast::tcp_stream>;
  using TlsWs = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

  net::io_context ioc;
  std::optional<ssl::context> tls;
  std::variant<PlainWs, TlsWs> stream{std::in_place_type<PlainWs>, ioc};
  beast::flat_buffer buffer;
  std::deque<std::string> received;
  bool open = false;
  bool reading = false;
  std::optional<int> closeCode;
  int status = 0;
  std::string error;

  // Runs `use` on the WebSocket stream, whichever kind it is.
  template <class Use>
  decltype(auto) ws(Use use) {
    return std::visit([&](auto& s) -> decltype(auto) { return use(s); }, stream);
  }

  void closeSocket() {
    beast::error_code ignored;
    ws([&](auto& s) { beast::get_lowest_layer(s).socket().close(ignored); });
  }

  // Runs handlers until `done` holds or the deadline passes.
  template <class Done>
  bool runUntil(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      const auto now = Clock::now();
      if (now >= deadline) {
        return false;
      }
      ioc.restart();
      ioc.run_one_for(deadline - now);
    }
    return true;
  }

  void startReading() {
    if (!open || reading) {
      return;
    }
    reading = true;
    ws([this](auto& s) { s.async_read(buffer, [this](beast::error_code ec, std::size_t) { onRead(ec); }); });
  }

  void onRead(beast::error_code ec) {
    reading = false;
    if (ec) {
      open = false;
      const int code = ws([](auto& s) { return int{s.reason().code}; });
      if (ec == websocket::error::closed || code != websocket::close_code::none) {
        closeCode = code;
      } else {
        closeCode = int{websocket::close_code::abnormal};
      }
      error = ec.message();
      return;
    }
    received.push_back(beast::buffers_to_string(buffer.data()));
    buffer.consume(buffer.size());
    startReading();
  }

  bool write(const std::string& data, bool binary, std::chrono::milliseconds timeout) {
    if (!open) {
      error = "not connected";
      return false;
    }
    startReading();
    const auto outcome = std::make_shared<Outcome>();
    ws([&](auto& s) {
      s.binary(binary);
      s.async_write(net::buffer(data), [outcome](beast::error_code ec, std::size_t) {
        outcome->finished = true;
        outcome->ec = ec;
      });
    });
    if (!runUntil([&] { return outcome->finished; }, timeout)) {
      // The stream cannot be used after an abandoned write.
      closeSocket();
      runUntil([&] { return outcome->finished; }, std::chrono::seconds(1));
      open = false;
      error = "write timed out";
      return false;
    }
    if (outcome->ec) {
      error = outcome->ec.message();
      return false;
    }
    return true;
  }
};

WsClient::WsClient() : impl_(std::make_unique<Impl>()) {}

WsClient::~WsClient() { impl_->closeSocket(); }

void WsClient::useTls(const std::filesystem::path& trusted) {
  Impl& d = *impl_;
  d.tls.emplace(ssl::context::tls_client);
  beast::error_code ec;
  d.tls->load_verify_file(trusted.string(), ec);
  if (ec) {
    d.error = "trusted certificate " + trusted.string() + ": " + ec.message();
  }
  d.tls->set_verify_mode(ssl::verify_peer);
  d.stream.emplace<Impl::TlsWs>(d.ioc, *d.tls);
}

bool WsClient::connect(const std::string& host, unsigned short port, const std::string& path,
                       std::chrono::milliseconds timeout) {
  Impl& d = *impl_;
  const auto deadline = Clock::now() + timeout;
  auto remaining = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  };

  tcp::resolver resolver(d.ioc);
  boost::system::error_code ec;
  const auto endpoints = resolver.resolve(host, std::to_string(port), ec);
  if (ec) {
    d.error = "resolve: " + ec.message();
    return false;
  }

  // The stream's own timer bounds both steps; the extra second only lets its
  // expiry be delivered.
  const auto connected = std::make_shared<Impl::Outcome>();
  d.ws([&](auto& s) {
    beast::get_lowest_layer(s).expires_after(timeout);
    beast::get_lowest_layer(s).async_connect(endpoints, [connected](beast::error_code e, const tcp::endpoint&) {
      connected->finished = true;
      connected->ec = e;
    });
  });
  d.runUntil([&] { return connected->finished; }, timeout + std::chrono::seconds(1));
  if (!connected->finished || connected->ec) {
    d.error = "connect: " + (connected->finished ? connected->ec.message() : std::string("timed out"));
    return false;
  }

  if (auto* secure = std::get_if<Impl::TlsWs>(&d.stream)) {
    const auto tlsShaken = std::make_shared<Impl::Outcome>();
    beast::get_lowest_layer(*secure).expires_after(remaining());
    secure->next_layer().async_handshake(ssl::stream_base::client, [tlsShaken](beast::error_code e) {
      tlsShaken->finished = true;
      tlsShaken->ec = e;
    });
    d.runUntil([&] { return tlsShaken->finished; }, remaining() + std::chrono::seconds(1));
    if (!tlsShaken->finished || tlsShaken->ec) {
      d.error = "TLS handshake: " + (tlsShaken->finished ? tlsShaken->ec.message() : std::string("timed out"));
      return false;
    }
  }

  const auto response = std::make_shared<websocket::response_type>();
  const auto shaken = std::make_shared<Impl::Outcome>();
  d.ws([&](auto& s) {
    beast::get_lowest_layer(s).expires_after(remaining());
    s.async_handshake(*response, host + ":" + std::to_string(port), path, [shaken, response](beast::error_code e) {
      shaken->finished = true;
      shaken->ec = e;
    });
  });
  d.runUntil([&] { return shaken->finished; }, remaining() + std::chrono::seconds(1));
  d.status = shaken->finished ? static_cast<int>(response->result_int()) : 0;
  if (!shaken->finished || shaken->ec) {
    d.error = "handshake: " + (shaken->finished ? shaken->ec.message() : std::string("timed out"));
    return false;
  }
  d.ws([](auto& s) { beast::get_lowest_layer(s).expires_never(); });
  d.open = true;
  d.startReading();
  return true;
}

int WsClient::handshakeStatus() const { return impl_->status; }

bool WsClient::sendText(const std::string& text, std::chrono::milliseconds timeout) {
  return impl_->write(text, false, timeout);
}

bool WsClient::sendBinary(const std::string& data, std::chrono::milliseconds timeout) {
  return impl_->write(data, true, timeout);
}

std::optional<std::string> WsClient::receiveText(std::chrono::milliseconds timeout) {
  Impl& d = *impl_;
  d.startReading();
  d.runUntil([&] { return !d.received.empty() || !d.open; }, timeout);
  if (d.received.empty()) {
    return std::nullopt;
  }
  std::string text = std::move(d.received.front());
  d.received.pop_front();
  return text;
}

std::optional<int> WsClient::waitClosed(std::chrono::milliseconds timeout) {
  Impl& d = *impl_;
  d.startReading();
  d.runUntil([&] { return !d.open && !d.reading; }, timeout);
  return d.closeCode;
}

void WsClient::close() {
  Impl& d = *impl_;
  if (!d.open) {
    return;
  }
  const auto closed = std::make_shared<Impl::Outcome>();
  d.ws([&](auto& s) {
    s.async_close(websocket::close_code::normal, [closed](beast::error_code) { closed->finished = true; });
  });
  d.runUntil([&] { return closed->finished && !d.reading; }, std::chrono::seconds(2));
  d.open = false;
}

bool WsClient::isOpen() const { return impl_->open; }

const std::string& WsClient::lastError() const { return impl_->error; }
