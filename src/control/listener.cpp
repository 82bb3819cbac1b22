#include "control/listener.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/bind_handler.hpp>

#include <fcntl.h>

#include <exception>
#include <string>

#include "control/http_session.h"
#include "control/log_line.h"
#include "control/tls_context.h"

namespace {

// Asio opens its sockets without close-on-exec, so every program the agent
// starts (a restore tool runs for as long as an image takes) would hold a
// copy: of the listening socket, keeping the port taken after the agent has
// gone, and of each connection, keeping it open after the agent closed it.
void keepFromChildren(int descriptor) {
  const int flags = ::fcntl(descriptor, F_GETFD);
  if (flags >= 0) {
    ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
  }
}

}  // namespace

Listener::Listener(net::io_context& ioc, WsEndpoint& endpoint, const WsServerConfig& config, const std::regex& path)
    : ioc_(ioc),
      acceptor_(net::make_strand(ioc)),
      endpoint_(endpoint),
      config_(config),
      path_(path),
      admission_(Admission::create({config.maxPending, config.maxPendingPerAddress})) {}

bool Listener::open(std::string& error) {
  // Dual-stack where the machine has IPv6, so one socket takes both
  // families; plain IPv4 otherwise.
  if (openOn(tcp::v6(), error) || openOn(tcp::v4(), error)) {
    return true;
  }
  return false;
}

unsigned short Listener::port() const {
  beast::error_code ignored;
  return acceptor_.local_endpoint(ignored).port();
}

void Listener::start() { doAccept(); }

bool Listener::openOn(const tcp& protocol, std::string& error) {
  beast::error_code ec;
  if (acceptor_.is_open()) {
    acceptor_.close(ec);
  }
  acceptor_.open(protocol, ec);
  if (!ec) {
    keepFromChildren(acceptor_.native_handle());
  }
  if (!ec && protocol == tcp::v6()) {
    acceptor_.set_option(net::ip::v6_only(false), ec);
  }
  if (!ec) {
    acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  }
  if (!ec) {
    acceptor_.bind(tcp::endpoint(protocol, config_.port), ec);
  }
  if (!ec) {
    acceptor_.listen(net::socket_base::max_listen_connections, ec);
  }
  if (ec) {
    error = "port " + std::to_string(config_.port) + ": " + ec.message();
    return false;
  }
  return true;
}

void Listener::doAccept() {
  acceptor_.async_accept(net::make_strand(ioc_), beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
}

void Listener::onAccept(beast::error_code ec, tcp::socket socket) {
  if (ec) {
    logConnectionFailure(ec, "accept");
    // Out of descriptors, the connection stays queued and every new try
    // fails at once: without a pause the loop takes a whole processor and
    // writes the log line hundreds of thousands of times a second.
    retry_.expires_after(acceptRetryPause);
    retry_.async_wait([self = shared_from_this()](beast::error_code) { self->doAccept(); });
    return;
  }
  keepFromChildren(socket.native_handle());
  beast::error_code ignored;
  const std::string peer = socket.remote_endpoint(ignored).address().to_string();
  std::optional<Admission::Slot> slot = admission_->admitPending(peer);
  if (!slot) {
    // Closed at once, without a log line: a flood of these must not flood
    // the log too.
    socket.close(ignored);
    return doAccept();
  }
  if (config_.tls) {
    // OpenSSL's state for the connection is made here, and Asio throws when
    // it cannot be: that connection is lost, not the accept loop.
    try {
      std::make_shared<HttpSession<TlsStream>>(TlsStream(std::move(socket), config_.tls->context()), endpoint_,
                                               config_, path_, admission_, std::move(*slot))
          ->run();
    } catch (const std::exception& e) {
      logLine(std::string("Server: cannot start TLS on a connection: ") + e.what());
    }
  } else {
    std::make_shared<HttpSession<PlainStream>>(PlainStream(std::move(socket)), endpoint_, config_, path_, admission_,
                                               std::move(*slot))
        ->run();
  }
  doAccept();
}
