#include "websocket_transport.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include <deque>
#include <fstream>
#include <functional>
#include <variant>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace restorectl {

namespace beast = boost::beast;
namespace net = boost::asio;
namespace websocket = beast::websocket;
namespace ssl = net::ssl;
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
  const bool tls = text.rfind("wss://", 0) == 0;
  if (!tls && text.rfind("ws://", 0) != 0) {
    error = "the address must start with ws:// or wss://";
    return std::nullopt;
  }
  const std::string rest = text.substr(tls ? 6 : 5);
  const auto slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  AgentUrl url{"", "12209", slash == std::string::npos ? "/backend" : rest.substr(slash), tls};
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

using PlainStream = websocket::stream<beast::tcp_stream>;
using TlsStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

struct WebSocketTransport::Impl {
  net::io_context ioc;
  tcp::resolver resolver{ioc};
  // Before the stream, which borrows it.
  std::optional<ssl::context> tls;
  std::variant<PlainStream, TlsStream> ws{std::in_place_type<PlainStream>, ioc};
  beast::flat_buffer buffer;
  std::deque<std::string> received;
  std::chrono::milliseconds ioTimeout{0};
  bool open = false;
  bool reading = false;
  bool closed = false;
  std::string closeReason;

  template <class Operation>
  void withStream(Operation&& operation) {
    std::visit(std::forward<Operation>(operation), ws);
  }

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
      std::string why;
      withStream([&](auto& stream) { why = stream.reason().reason.c_str(); });
      markClosed(why.empty() ? "the agent closed the connection"
                             : "the agent closed the connection (" + why + ")");
    } else if (ec == net::error::eof || ec == net::error::connection_reset ||
               ec == ssl::error::stream_truncated) {
      markClosed("the connection to the agent was cut");
    } else {
      markClosed(ec.message());
    }
  }

  void startRead() {
    reading = true;
    withStream([this](auto& stream) {
      stream.async_read(buffer, [this](const beast::error_code& ec, std::size_t) {
        reading = false;
        if (ec) {
          fail(ec);
          return;
        }
        received.push_back(beast::buffers_to_string(buffer.data()));
        buffer.consume(buffer.size());
        startRead();
      });
    });
  }

  // Stops whatever is in flight, so that no handler outlives the wait that
  // started it with a live operation.
  void abandon(const std::string& reason) {
    markClosed(reason);
    resolver.cancel();
    withStream([](auto& stream) {
      beast::error_code ignored;
      beast::get_lowest_layer(stream).socket().close(ignored);
    });
  }

  // Sets up the TLS stream: whom to trust, and the name (also sent for
  // virtual hosting) or address the certificate must carry. False with
  // `error` set when that cannot be done.
  bool prepareTls(const std::string& host, const std::optional<std::string>& caFile, std::string& error) {
    ssl::context& context = tls.emplace(ssl::context::tls_client);
    beast::error_code ec;
    if (caFile) {
      context.load_verify_file(*caFile, ec);
    } else {
      context.set_default_verify_paths(ec);
    }
    if (ec) {
      // OpenSSL's own text for a missing file is no more than "asio.ssl error".
      const bool readable = caFile && std::ifstream(*caFile).good();
      error = !caFile   ? "cannot load the system's trusted certificates: " + ec.message()
              : readable ? "no PEM certificate in " + *caFile
                         : "cannot read " + *caFile + ": " + std::strerror(errno);
      return false;
    }
    context.set_verify_mode(ssl::verify_peer);
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
    SSL* session = ws.emplace<TlsStream>(ioc, context).next_layer().native_handle();
    X509_VERIFY_PARAM* check = SSL_get0_param(session);
    X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    beast::error_code notAnAddress;
    net::ip::make_address(host, notAnAddress);
    // SSL_ctrl spelled out: the SSL_set_tlsext_host_name macro casts in C style.
    const bool named = notAnAddress ? SSL_ctrl(session, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                                               const_cast<char*>(host.c_str())) == 1 &&
                                          SSL_set1_host(session, host.c_str()) == 1
                                    : X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str()) == 1;
    if (!named) {
      error = "cannot check the agent's certificate against " + host;
      return false;
    }
    return true;
  }

  // Why the TLS handshake failed, in terms of what to do about it.
  std::string tlsFailure(const beast::error_code& ec, const std::string& where, const AgentUrl& url,
                         bool ownTrust) {
    SSL* session = std::get<TlsStream>(ws).next_layer().native_handle();
    const long verdict = SSL_get_verify_result(session);
    if (verdict == X509_V_ERR_HOSTNAME_MISMATCH || verdict == X509_V_ERR_IP_ADDRESS_MISMATCH) {
      return "the agent's certificate is not made out to " + url.host;
    }
    if (verdict != X509_V_OK) {
      return "the agent's certificate is not trusted (" + std::string(X509_verify_cert_error_string(verdict)) +
             ")" + (ownTrust ? "" : "; give the agent's certificate with --ca-file");
    }
    return "the TLS handshake with " + where + " failed: " + ec.message() +
           " (an agent without TLS is reached at ws://)";
  }
};

std::unique_ptr<WebSocketTransport> WebSocketTransport::connect(const AgentUrl& url,
                                                                std::chrono::milliseconds timeout,
                                                                std::string& error,
                                                                const std::optional<std::string>& caFile) {
  auto impl = std::make_unique<Impl>();
  impl->ioTimeout = timeout;
  const auto deadline = Clock::now() + timeout;
  // An IPv6 literal needs its brackets in the Host header.
  const std::string where =
      (url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host) + ":" + url.port;
  if (url.tls && !impl->prepareTls(url.host, caFile, error)) {
    return nullptr;
  }

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
  impl->withStream([&](auto& stream) {
    beast::get_lowest_layer(stream).async_connect(
        endpoints, [connected](const beast::error_code& ec, const tcp::endpoint&) {
          connected->done = true;
          connected->ec = ec;
        });
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

  if (auto* secure = std::get_if<TlsStream>(&impl->ws)) {
    auto secured = std::make_shared<Step>();
    secure->next_layer().async_handshake(ssl::stream_base::client, [secured](const beast::error_code& ec) {
      secured->done = true;
      secured->ec = ec;
    });
    if (!impl->runUntil([&] { return secured->done; }, deadline)) {
      impl->abandon("TLS handshake timed out");
      error = "the TLS handshake with " + where + " did not complete within the time-out";
      return nullptr;
    }
    if (secured->ec) {
      error = impl->tlsFailure(secured->ec, where, url, caFile.has_value());
      return nullptr;
    }
  }

  auto handshaken = std::make_shared<Step>();
  impl->withStream([&](auto& stream) {
    stream.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
      request.set(beast::http::field::user_agent, "restorectl");
    }));
    stream.read_message_max(16 * 1024 * 1024);
    stream.async_handshake(where, url.path, [handshaken](const beast::error_code& ec) {
      handshaken->done = true;
      handshaken->ec = ec;
    });
  });
  if (!impl->runUntil([&] { return handshaken->done; }, deadline)) {
    impl->abandon("handshake timed out");
    error = "the WebSocket handshake with " + where + " did not complete within the time-out";
    return nullptr;
  }
  if (handshaken->ec) {
    // An agent that speaks TLS drops a plain request without a word.
    const bool noAnswer = handshaken->ec == beast::http::error::end_of_stream ||
                          handshaken->ec == net::error::connection_reset;
    // The query is left out: it carries the access token.
    error = "the WebSocket handshake with " + where + url.path.substr(0, url.path.find('?')) +
            " failed: " + handshaken->ec.message() +
            (noAnswer && !url.tls ? " (an agent with TLS is reached at wss://)" : "");
    return nullptr;
  }
  impl->withStream([](auto& stream) { stream.text(true); });
  impl->open = true;
  return std::unique_ptr<WebSocketTransport>(new WebSocketTransport(std::move(impl)));
}

WebSocketTransport::WebSocketTransport(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WebSocketTransport::~WebSocketTransport() {
  if (!impl_->open || impl_->closed) {
    return;
  }
  auto finished = std::make_shared<bool>(false);
  impl_->withStream([&](auto& stream) {
    stream.async_close(websocket::close_code::normal, [finished](const beast::error_code&) { *finished = true; });
  });
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
  impl_->withStream([&](auto& stream) {
    stream.async_write(net::buffer(write->text), [write](const beast::error_code& ec, std::size_t) {
      write->done = true;
      write->ec = ec;
    });
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
