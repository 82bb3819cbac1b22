#pragma once
// Accepts connections on the endpoint's port and starts an HttpSession for
// each, over TLS when the endpoint has a certificate.
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <regex>
#include <string>

#include "control/admission.h"
#include "control/endpoint.h"
#include "control/endpoint_io.h"

class Listener : public std::enable_shared_from_this<Listener> {
public:
  Listener(net::io_context& ioc, WsEndpoint& endpoint, const WsServerConfig& config, const std::regex& path);

  // Binds and listens; on failure false, with the cause in `error`.
  bool open(std::string& error);
  unsigned short port() const;
  void start();

private:
  bool openOn(const tcp& protocol, std::string& error);
  void doAccept();
  void onAccept(beast::error_code ec, tcp::socket socket);

  static constexpr std::chrono::milliseconds acceptRetryPause{200};

  net::io_context& ioc_;
  tcp::acceptor acceptor_;
  net::steady_timer retry_{acceptor_.get_executor()};
  WsEndpoint& endpoint_;
  const WsServerConfig& config_;
  const std::regex& path_;
  std::shared_ptr<Admission> admission_;
};
