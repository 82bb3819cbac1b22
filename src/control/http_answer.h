#pragma once
// What the endpoint answers to an HTTP request before any WebSocket upgrade:
// refusals for callers it does not trust, the files of the web page, and
// errors for everything else. Only an accepted upgrade on the WebSocket path
// goes on to the handshake.
#include "control/http_gate.h"

#include <boost/beast/http.hpp>

#include <optional>
#include <string>

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// Nothing when the request is an upgrade on the WebSocket path that may go
// ahead; otherwise the response to send (the connection then ends). Refusals
// are logged.
std::optional<HttpResponse> answerBeforeUpgrade(const HttpGate& gate, const HttpRequest& request,
                                                bool websocketPath, const std::string& peerAddress);

// A short text answer with `status`; the connection ends after it.
HttpResponse plainAnswer(const HttpRequest& request, boost::beast::http::status status, const std::string& body);
