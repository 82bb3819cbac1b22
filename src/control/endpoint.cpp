#include "control/endpoint.h"

#include "control/http_answer.h"
#include "control/log_line.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

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

// Failures before a connection is open reach no handler; they are only
// logged. A peer that connects and leaves without a request (a port probe) and
// our own cancellations are not worth a line.
void fail(const beast::error_code& ec, const char* what) {
  if (ec == net::error::operation_aborted || ec == websocket::error::closed ||
      ec == http::error::end_of_stream) {
    return;
  }
  logLine(std::string("Server: ") + what + ": " + ec.message());
}

class WebSocketSession : public WsConnection, public std::enable_shared_from_this<WebSocketSession> {
public:
  WebSocketSession(beast::tcp_stream&& stream, WsEndpoint& endpoint, const WsServerConfig& config)
      : ws_(std::move(stream)), endpoint_(endpoint) {
    std::ostringstream id;
    id << static_cast<const void*>(this);
    identity_ = id.str();

    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = config.handshakeTimeout;
    timeouts.idle_timeout = config.idleTimeout;
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.read_message_max(config.maxMessageSize);
    maxQueuedBytes_ = config.maxQueuedBytes;
  }

  std::string identity() const override { return identity_; }

  void send(std::string text, SendDone done) override {
    net::post(ws_.get_executor(),
              [self = shared_from_this(), text = std::move(text), done = std::move(done)]() mutable {
                self->onSend(std::move(text), std::move(done));
              });
  }

  void run(http::request<http::string_body> request) {
    ws_.async_accept(request, beast::bind_front_handler(&WebSocketSession::onAccept, shared_from_this()));
  }

private:
  struct Outgoing {
    std::string text;
    SendDone done;
  };

  void onAccept(beast::error_code ec) {
    if (ec) {
      return fail(ec, "handshake");
    }
    open_ = true;
    endpoint_.add(shared_from_this());
    if (endpoint_.on_open) {
      endpoint_.on_open(shared_from_this());
    }
    doRead();
  }

  void doRead() {
    ws_.async_read(buffer_, beast::bind_front_handler(&WebSocketSession::onRead, shared_from_this()));
  }

  void onRead(beast::error_code ec, std::size_t) {
    if (ec == websocket::error::closed) {
      return finishClosed(ws_.reason().code);
    }
    if (ec) {
      // An oversize message lands here too: the stream has already sent the
      // close frame with code 1009 by the time the read fails.
      return finishFailed(ec);
    }
    if (ws_.got_binary()) {
      // Every message is JSON text; a binary frame means a client we do not
      // understand, so only that connection ends.
      buffer_.consume(buffer_.size());
      closing_ = true;
      ws_.async_close(websocket::close_code::unknown_data,
                      [self = shared_from_this()](beast::error_code closeEc) {
                        if (closeEc && closeEc != websocket::error::closed) {
                          return self->finishFailed(closeEc);
                        }
                        const int peerCode = self->ws_.reason().code;
                        self->finishClosed(peerCode != websocket::close_code::none
                                               ? peerCode
                                               : int{websocket::close_code::unknown_data});
                      });
      return;
    }
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    if (endpoint_.on_message) {
      endpoint_.on_message(shared_from_this(), text);
    }
    doRead();
  }

  void onSend(std::string text, SendDone done) {
    if (closing_) {
      if (done) {
        done(websocket::error::closed);
      }
      return;
    }
    if (queuedBytes_ + text.size() > maxQueuedBytes_) {
      logLine("Server: connection " + identity_ + " does not read; closing it");
      outgoing_.push_back({std::move(text), std::move(done)});
      return abandon(beast::error_code(net::error::no_buffer_space));
    }
    queuedBytes_ += text.size();
    outgoing_.push_back({std::move(text), std::move(done)});
    if (outgoing_.size() == 1) {
      doWrite();
    }
  }

  // Fails every queued text and drops the connection; the pending read then
  // ends with an error and reports it. The text being written stays until its
  // write returns (with the error), as the write still refers to it.
  void abandon(const beast::error_code& ec) {
    std::deque<Outgoing> failed;
    failed.swap(outgoing_);
    if (writing_) {
      outgoing_.push_back(std::move(failed.front()));
      failed.pop_front();
    }
    queuedBytes_ = outgoing_.empty() ? 0 : outgoing_.front().text.size();
    closing_ = true;
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).socket().close(ignored);
    for (auto& item : failed) {
      if (item.done) {
        item.done(ec);
      }
    }
  }

  void doWrite() {
    writing_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(outgoing_.front().text),
                    beast::bind_front_handler(&WebSocketSession::onWrite, shared_from_this()));
  }

  void onWrite(beast::error_code ec, std::size_t) {
    writing_ = false;
    if (ec) {
      // The stream is unusable after a failed write: every text still queued
      // fails with the same error rather than waiting forever.
      std::deque<Outgoing> failed;
      failed.swap(outgoing_);
      queuedBytes_ = 0;
      closing_ = true;
      for (auto& item : failed) {
        if (item.done) {
          item.done(ec);
        }
      }
      return;
    }
    SendDone done = std::move(outgoing_.front().done);
    queuedBytes_ -= outgoing_.front().text.size();
    outgoing_.pop_front();
    if (done) {
      done({});
    }
    if (!outgoing_.empty()) {
      doWrite();
    }
  }

  void finishClosed(int status) {
    if (!leave()) {
      return;
    }
    if (endpoint_.on_close) {
      endpoint_.on_close(shared_from_this(), status);
    }
  }

  void finishFailed(const beast::error_code& ec) {
    if (!leave()) {
      return;
    }
    if (endpoint_.on_error) {
      endpoint_.on_error(shared_from_this(), ec);
    }
  }

  // True the first time an open connection ends.
  bool leave() {
    closing_ = true;
    if (!open_) {
      return false;
    }
    open_ = false;
    endpoint_.remove(shared_from_this());
    return true;
  }

  websocket::stream<beast::tcp_stream> ws_;
  WsEndpoint& endpoint_;
  std::string identity_;
  beast::flat_buffer buffer_;
  std::deque<Outgoing> outgoing_;
  std::size_t queuedBytes_ = 0;
  std::size_t maxQueuedBytes_ = 0;
  bool writing_ = false;
  bool open_ = false;
  bool closing_ = false;
};

// Reads the upgrade request under the handshake time-out and hands the stream
// to a WebSocketSession when the path is ours; anything else gets an HTTP
// error and is closed.
class HandshakeSession : public std::enable_shared_from_this<HandshakeSession> {
public:
  HandshakeSession(tcp::socket&& socket, WsEndpoint& endpoint, const WsServerConfig& config,
                   const std::regex& path)
      : stream_(std::move(socket)), endpoint_(endpoint), config_(config), path_(path) {}

  void run() {
    net::dispatch(stream_.get_executor(),
                  beast::bind_front_handler(&HandshakeSession::doRead, shared_from_this()));
  }

private:
  void doRead() {
    parser_.emplace();
    parser_->header_limit(16 * 1024);
    parser_->body_limit(16 * 1024);
    stream_.expires_after(config_.handshakeTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HandshakeSession::onRead, shared_from_this()));
  }

  void onRead(beast::error_code ec, std::size_t) {
    if (ec) {
      return fail(ec, "reading the upgrade request");
    }
    http::request<http::string_body> request = parser_->release();
    const std::string target(request.target());
    const std::string path = target.substr(0, target.find('?'));
    beast::error_code ignored;
    const std::string peer = stream_.socket().remote_endpoint(ignored).address().to_string();
    std::optional<HttpResponse> answer =
        answerBeforeUpgrade(config_.gate, request, std::regex_search(path, path_), peer);
    if (answer) {
      return respond(std::move(*answer));
    }
    if (endpoint_.connections().size() >= config_.maxConnections) {
      logLine("Server: " + std::to_string(config_.maxConnections) + " connections open; refusing another");
      return respond(plainAnswer(request, http::status::service_unavailable, "Too many connections\n"));
    }
    stream_.expires_never();
    std::make_shared<WebSocketSession>(std::move(stream_), endpoint_, config_)->run(std::move(request));
  }

  void respond(HttpResponse response) {
    response_.emplace(std::move(response));
    http::async_write(stream_, *response_,
                      beast::bind_front_handler(&HandshakeSession::onAnswered, shared_from_this()));
  }

  void onAnswered(beast::error_code ec, std::size_t) {
    if (ec) {
      return fail(ec, "answering a request");
    }
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  beast::tcp_stream stream_;
  WsEndpoint& endpoint_;
  const WsServerConfig& config_;
  const std::regex& path_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
};

class Listener : public std::enable_shared_from_this<Listener> {
public:
  Listener(net::io_context& ioc, WsEndpoint& endpoint, const WsServerConfig& config, const std::regex& path)
      : ioc_(ioc), acceptor_(net::make_strand(ioc)), endpoint_(endpoint), config_(config), path_(path) {}

  bool open(std::string& error) {
    // Dual-stack where the machine has IPv6, so one socket takes both
    // families; plain IPv4 otherwise.
    if (openOn(tcp::v6(), error) || openOn(tcp::v4(), error)) {
      return true;
    }
    return false;
  }

  unsigned short port() const {
    beast::error_code ignored;
    return acceptor_.local_endpoint(ignored).port();
  }

  void start() { doAccept(); }

private:
  bool openOn(const tcp& protocol, std::string& error) {
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

  void doAccept() {
    acceptor_.async_accept(net::make_strand(ioc_),
                           beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
  }

  void onAccept(beast::error_code ec, tcp::socket socket) {
    if (ec) {
      fail(ec, "accept");
      // Out of descriptors, the connection stays queued and every new try
      // fails at once: without a pause the loop takes a whole processor and
      // writes the log line hundreds of thousands of times a second.
      retry_.expires_after(acceptRetryPause);
      retry_.async_wait([self = shared_from_this()](beast::error_code) { self->doAccept(); });
      return;
    }
    keepFromChildren(socket.native_handle());
    std::make_shared<HandshakeSession>(std::move(socket), endpoint_, config_, path_)->run();
    doAccept();
  }

  static constexpr std::chrono::milliseconds acceptRetryPause{200};

  net::io_context& ioc_;
  tcp::acceptor acceptor_;
  net::steady_timer retry_{acceptor_.get_executor()};
  WsEndpoint& endpoint_;
  const WsServerConfig& config_;
  const std::regex& path_;
};

}  // namespace

std::vector<WsConnectionPtr> WsEndpoint::connections() const {
  const std::lock_guard lock(mutex_);
  return open_;
}

std::vector<WsConnectionPtr> WsEndpoint::waitForConnections() const {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !open_.empty(); });
  return open_;
}

void WsEndpoint::add(const WsConnectionPtr& connection) {
  {
    const std::lock_guard lock(mutex_);
    open_.push_back(connection);
  }
  changed_.notify_all();
}

void WsEndpoint::remove(const WsConnectionPtr& connection) {
  const std::lock_guard lock(mutex_);
  open_.erase(std::remove(open_.begin(), open_.end(), connection), open_.end());
}

void WsEndpoint::removeAll() {
  const std::lock_guard lock(mutex_);
  open_.clear();
}

struct WsServer::Impl {
  explicit Impl(WsServerConfig c) : config(std::move(c)), path(config.pathPattern) {}

  WsServerConfig config;
  std::regex path;
  WsEndpoint endpoint;
  net::io_context ioc{1};
  std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
  std::shared_ptr<Listener> listener;
  std::thread thread;
};

WsServer::WsServer(WsServerConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

WsServer::~WsServer() {
  impl_->ioc.stop();
  if (impl_->thread.joinable()) {
    impl_->thread.join();
  }
  // Connections own sockets of the I/O context, so they go before it does.
  impl_->endpoint.removeAll();
  impl_->listener.reset();
}

WsEndpoint& WsServer::endpoint() { return impl_->endpoint; }

bool WsServer::listen(std::string& error) {
  auto listener = std::make_shared<Listener>(impl_->ioc, impl_->endpoint, impl_->config, impl_->path);
  if (!listener->open(error)) {
    return false;
  }
  impl_->listener = std::move(listener);
  return true;
}

unsigned short WsServer::port() const { return impl_->listener ? impl_->listener->port() : 0; }

void WsServer::startThread() {
  if (impl_->listener) {
    impl_->listener->start();
  }
  impl_->work.emplace(impl_->ioc.get_executor());
  impl_->thread = std::thread([this] {
    // A handler that throws must not end the process or the server: log it
    // and carry on with the remaining work.
    for (;;) {
      try {
        impl_->ioc.run();
        return;
      } catch (const std::exception& e) {
        logLine(std::string("Server: unexpected failure in a handler: ") + e.what());
      } catch (...) {
        logLine("Server: unexpected failure in a handler");
      }
    }
  });
}
