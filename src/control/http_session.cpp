#include "control/http_session.h"

#include <boost/asio/dispatch.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <string>

#include "control/log_line.h"
#include "control/websocket_session.h"

namespace http = beast::http;

HttpSession::HttpSession(tcp::socket&& socket, WsEndpoint& endpoint, const WsServerConfig& config,
                         const std::regex& path, std::shared_ptr<Admission> admission, Admission::Slot pending)
    : stream_(std::move(socket)),
      endpoint_(endpoint),
      config_(config),
      path_(path),
      admission_(std::move(admission)),
      pending_(std::move(pending)) {}

void HttpSession::run() {
  net::dispatch(stream_.get_executor(), beast::bind_front_handler(&HttpSession::doRead, shared_from_this()));
}

void HttpSession::doRead() {
  parser_.emplace();
  parser_->header_limit(16 * 1024);
  parser_->body_limit(16 * 1024);
  stream_.expires_after(config_.handshakeTimeout);
  http::async_read(stream_, buffer_, *parser_, beast::bind_front_handler(&HttpSession::onRead, shared_from_this()));
}

void HttpSession::onRead(beast::error_code ec, std::size_t) {
  if (ec) {
    return logConnectionFailure(ec, "reading the upgrade request");
  }
  request_.emplace(parser_->release());
  beast::error_code ignored;
  peer_ = stream_.socket().remote_endpoint(ignored).address().to_string();
  // An address that keeps giving wrong tokens waits before each answer; its
  // connection still counts toward the bounds meanwhile.
  const Admission::Clock::duration wait = admission_->waitFor(peer_, Admission::Clock::now());
  if (wait > Admission::Clock::duration::zero()) {
    stream_.expires_after(wait + config_.handshakeTimeout);
    wait_.expires_after(wait);
    return wait_.async_wait([self = shared_from_this()](beast::error_code) { self->answer(); });
  }
  answer();
}

void HttpSession::answer() {
  http::request<http::string_body> request = std::move(*request_);
  const std::string target(request.target());
  const std::string path = target.substr(0, target.find('?'));
  std::optional<HttpResponse> answer =
      answerBeforeUpgrade(config_.gate, request, std::regex_search(path, path_), peer_);
  if (answer) {
    if (answer->result() == http::status::unauthorized) {
      admission_->recordWrongToken(peer_, Admission::Clock::now());
    }
    return respond(std::move(*answer));
  }
  std::optional<Admission::Slot> upgrade = admission_->admitUpgrade(endpoint_.connections().size(), config_.maxConnections);
  if (!upgrade) {
    logLine("Server: " + std::to_string(config_.maxConnections) + " connections open; refusing another");
    return respond(plainAnswer(request, http::status::service_unavailable, "Too many connections\n"));
  }
  stream_.expires_never();
  pending_.release();
  std::make_shared<WebSocketSession>(std::move(stream_), endpoint_, config_)
      ->run(std::move(request), std::move(*upgrade));
}

void HttpSession::respond(HttpResponse response) {
  response_.emplace(std::move(response));
  http::async_write(stream_, *response_, beast::bind_front_handler(&HttpSession::onAnswered, shared_from_this()));
}

void HttpSession::onAnswered(beast::error_code ec, std::size_t) {
  if (ec) {
    return logConnectionFailure(ec, "answering a request");
  }
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
}
