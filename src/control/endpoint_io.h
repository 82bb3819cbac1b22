#pragma once
// What the endpoint's listener, HTTP session and WebSocket session share: the
// names they use for Beast and Asio, and the log line of a failure that no
// handler hears of.
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/error.hpp>

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// Failures before a connection is open reach no handler; they are only
// logged. A peer that connects and leaves without a request (a port probe) and
// our own cancellations are not worth a line.
void logConnectionFailure(const beast::error_code& ec, const char* what);
