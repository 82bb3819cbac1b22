#include "control/endpoint_io.h"

#include <boost/asio/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/error.hpp>

#include <string>

#include "control/log_line.h"

void logConnectionFailure(const beast::error_code& ec, const char* what) {
  if (ec == net::error::operation_aborted || ec == beast::websocket::error::closed ||
      ec == beast::http::error::end_of_stream) {
    return;
  }
  logLine(std::string("Server: ") + what + ": " + ec.message());
}
