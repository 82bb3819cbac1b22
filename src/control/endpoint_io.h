#pragma once
// What the endpoint's listener, HTTP session and WebSocket session share: the
// names they use for Beast and Asio, the two kinds of stream a connection may
// be, and the log line of a failure that no handler hears of.
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <type_traits>

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// The sessions are written once for both: a plain connection, and one that
// speaks TLS (https, wss) over the same TCP stream.
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <class Stream>
inline constexpr bool isTlsStream = std::is_same_v<Stream, TlsStream>;

// Failures before a connection is open reach no handler; they are only
// logged. A peer that connects and leaves without a request (a port probe) and
// our own cancellations are not worth a line.
void logConnectionFailure(const beast::error_code& ec, const char* what);
