#include "control/endpoint_io.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/error.hpp>

#include <string>

#include "control/log_line.h"

void logConnectionFailure(const beast::error_code& ec, const char* what) {
  // Over TLS the probe ends the handshake with an end of file, or cuts it.
  if (ec == net::error::operation_aborted || ec == beast::websocket::error::closed ||
      ec == beast::http::error::end_of_stream || ec == net::error::eof || ec == net::ssl::error::stream_truncated) {
    return;
  }
  logLine(std::string("Server: ") + what + ": " + ec.message());
}
