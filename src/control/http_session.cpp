#include "control/http_session.h"

#include <boost/asio/dispatch.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <string>

#include "control/log_line.h"
#include "control/websocket_session.h"

namespace http = beast::http;

template <class Stream>
HttpSession<Stream>::HttpSession(Stream&& stream, WsEndpoint& endpoint, const WsServerConfig& config,
                                 const std::regex& path, std::shared_ptr<Admission> admission,
                                 Admission::Slot pending)
    : stream_(std::move(stream)),
      endpoint_(endpoint),
      config_(config),
      path_(path),
      admission_(std::move(admission)),
      pending_(std::move(pending)) {}

template <class Stream>
void HttpSession<Stream>::run() {
  net::dispatch(stream_.get_executor(), beast::bind_front_handler(&HttpSession::start, this->shared_from_this()));
}

template <class Stream>
void HttpSession<Stream>::start() {
  if constexpr (isTlsStream<Stream>) {
    // A peer that opens the connection and never says hello keeps its
    // pending place only this long.
    beast::get_lowest_layer(stream_).expires_after(config_.handshakeTimeout);
    stream_.async_handshake(net::ssl::stream_base::server,
                            beast::bind_front_handler(&HttpSession::onHandshake, this->shared_from_this()));
  } else {
    doRead();
  }
}

template <class Stream>
void HttpSession<Stream>::onHandshake(beast::error_code ec) {
  if (ec) {
    return logConnectionFailure(ec, "TLS handshake");
  }
  doRead();
}

template <class Stream>
void HttpSession<Stream>::doRead() {
  parser_.emplace();
  parser_->header_limit(16 * 1024);
  parser_->body_limit(16 * 1024);
  beast::get_lowest_layer(stream_).expires_after(config_.handshakeTimeout);
  http::async_read(stream_, buffer_, *parser_,
                   beast::bind_front_handler(&HttpSession::onRead, this->shared_from_this()));
}

template <class Stream>
void HttpSession<Stream>::onRead(beast::error_code ec, std::size_t) {
  if (ec) {
    return logConnectionFailure(ec, "reading the upgrade request");
  }
  request_.emplace(parser_->release());
  beast::error_code ignored;
  peer_ = beast::get_lowest_layer(stream_).socket().remote_endpoint(ignored).address().to_string();
  // An address that keeps giving wrong tokens waits before each answer; its
  // connection still counts toward the bounds meanwhile.
  const Admission::Clock::duration wait = admission_->waitFor(peer_, Admission::Clock::now());
  if (wait > Admission::Clock::duration::zero()) {
    beast::get_lowest_layer(stream_).expires_after(wait + config_.handshakeTimeout);
    wait_.expires_after(wait);
    return wait_.async_wait([self = this->shared_from_this()](beast::error_code) { self->answer(); });
  }
  answer();
}

template <class Stream>
void HttpSession<Stream>::answer() {
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
  beast::get_lowest_layer(stream_).expires_never();
  pending_.release();
  std::make_shared<WebSocketSession<Stream>>(std::move(stream_), endpoint_, config_)
      ->run(std::move(request), std::move(*upgrade));
}

template <class Stream>
void HttpSession<Stream>::respond(HttpResponse response) {
  response_.emplace(std::move(response));
  http::async_write(stream_, *response_,
                    beast::bind_front_handler(&HttpSession::onAnswered, this->shared_from_this()));
}

template <class Stream>
void HttpSession<Stream>::onAnswered(beast::error_code ec, std::size_t) {
  if (ec) {
    return logConnectionFailure(ec, "answering a request");
  }
  if constexpr (isTlsStream<Stream>) {
    // close_notify, so that the peer can tell the whole answer from a cut
    // one; a peer that never answers it is cut off by the time-out.
    beast::get_lowest_layer(stream_).expires_after(config_.handshakeTimeout);
    stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {});
  } else {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }
}

template class HttpSession<PlainStream>;
template class HttpSession<TlsStream>;
