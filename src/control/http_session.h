#pragma once
// A connection before its WebSocket upgrade: completes the TLS handshake when
// the endpoint speaks TLS, reads one HTTP request under the handshake
// time-out, answers it (refusals, the page's files, errors) or, for an
// accepted upgrade on the WebSocket path, hands the stream to a
// WebSocketSession. `Stream` is PlainStream or TlsStream.
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <regex>
#include <string>

#include "control/admission.h"
#include "control/endpoint.h"
#include "control/endpoint_io.h"
#include "control/http_answer.h"

template <class Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
public:
  HttpSession(Stream&& stream, WsEndpoint& endpoint, const WsServerConfig& config, const std::regex& path,
              std::shared_ptr<Admission> admission, Admission::Slot pending);

  void run();

private:
  void start();
  void onHandshake(beast::error_code ec);
  void doRead();
  void onRead(beast::error_code ec, std::size_t);
  void answer();
  void respond(HttpResponse response);
  void onAnswered(beast::error_code ec, std::size_t);

  Stream stream_;
  WsEndpoint& endpoint_;
  const WsServerConfig& config_;
  const std::regex& path_;
  beast::flat_buffer buffer_;
  std::optional<beast::http::request_parser<beast::http::string_body>> parser_;
  std::optional<HttpResponse> response_;
  std::optional<beast::http::request<beast::http::string_body>> request_;
  std::string peer_;
  std::shared_ptr<Admission> admission_;
  Admission::Slot pending_;
  net::steady_timer wait_{stream_.get_executor()};
};

extern template class HttpSession<PlainStream>;
extern template class HttpSession<TlsStream>;
