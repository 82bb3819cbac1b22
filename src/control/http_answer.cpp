#include "control/http_answer.h"

#include "control/log_line.h"
#include "control/static_files.h"

#include <boost/beast/websocket/rfc6455.hpp>

#include <cctype>
#include <cstdio>

namespace http = boost::beast::http;

HttpResponse plainAnswer(const HttpRequest& request, http::status status, const std::string& body) {
  HttpResponse response(status, request.version());
  response.set(http::field::content_type, "text/plain; charset=utf-8");
  response.keep_alive(false);
  response.body() = body;
  response.prepare_payload();
  return response;
}

namespace {

std::optional<std::string> header(const HttpRequest& request, http::field field) {
  const auto found = request.find(field);
  if (found == request.end()) {
    return std::nullopt;
  }
  return std::string(found->value());
}

std::string cookieText(const std::string& token) {
  std::string encoded;
  for (const char c : token) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') {
      encoded += c;
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
      encoded += escape;
    }
  }
  return std::string(accessTokenCookie) + "=" + encoded + "; Path=/; HttpOnly; SameSite=Strict";
}

HttpResponse pageAnswer(const HttpGate& gate, const HttpRequest& request, bool rememberToken) {
  const std::string target(request.target());
  const StaticReply file = serveStaticFile(gate.pageRoot, std::string(request.method_string()), target);
  if (file.status == 405) {
    HttpResponse response = plainAnswer(request, http::status::method_not_allowed, "Only GET and HEAD\n");
    response.set(http::field::allow, "GET, HEAD");
    return response;
  }
  if (file.status == 400) {
    return plainAnswer(request, http::status::bad_request, "Bad path\n");
  }
  if (file.status != 200) {
    return plainAnswer(request, http::status::not_found, "Not found\n");
  }
  HttpResponse response(http::status::ok, request.version());
  response.keep_alive(false);
  response.set(http::field::content_type, file.contentType);
  response.set(http::field::cache_control, "no-cache");
  response.set("X-Content-Type-Options", "nosniff");
  // The page can reboot the machine: no other site may frame it and trick
  // a click, and it loads nothing from anywhere but here.
  response.set("X-Frame-Options", "DENY");
  response.set("Content-Security-Policy",
               "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'; "
               "base-uri 'none'; form-action 'none'");
  // The token may stand in the page's address.
  response.set("Referrer-Policy", "no-referrer");
  if (rememberToken) {
    response.set(http::field::set_cookie,
                 cookieText(queryParameter(target, "token").value_or(std::string())));
  }
  response.body() = file.body;
  response.content_length(file.size);
  return response;
}

}  // namespace

std::optional<HttpResponse> answerBeforeUpgrade(const HttpGate& gate, const HttpRequest& request,
                                                bool websocketPath, const std::string& peerAddress) {
  const bool upgrade = boost::beast::websocket::is_upgrade(request);
  AccessDecision decision;
  if (gate.access) {
    AccessRequest asked;
    asked.host = header(request, http::field::host);
    asked.origin = header(request, http::field::origin);
    asked.cookie = header(request, http::field::cookie);
    asked.target = std::string(request.target());
    asked.peerAddress = peerAddress;
    asked.websocketUpgrade = upgrade;
    decision = gate.access(asked);
  }
  if (decision.verdict != AccessVerdict::allowed) {
    logLine("Server: Refused a request from " + peerAddress + ": " + decision.reason);
    if (decision.verdict == AccessVerdict::missingToken) {
      return plainAnswer(request, http::status::unauthorized,
                         "This agent needs its access token. The address with the token is shown on the "
                         "machine's screen (and in the agent's log): open that address.\n");
    }
    return plainAnswer(request, http::status::forbidden, "Forbidden\n");
  }
  if (websocketPath) {
    if (!upgrade) {
      return plainAnswer(request, http::status::bad_request, "WebSocket upgrade expected\n");
    }
    return std::nullopt;
  }
  if (gate.pageRoot.empty() || upgrade) {
    return plainAnswer(request, http::status::not_found, "Not found\n");
  }
  return pageAnswer(gate, request, decision.queryTokenAccepted);
}
