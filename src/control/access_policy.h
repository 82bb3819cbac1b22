#pragma once
// Who may use the endpoint. The agent listens on every address, and browsers
// let any web page open a WebSocket to any host, so without these checks a
// page on some other site, or a host name rebound to this machine, could
// start a restore over a disk or reboot the machine in the middle of one.
//
// judgeAccess() is pure: the machine's name and addresses and the settings
// from the environment come in through AccessPolicy.
#include <optional>
#include <string>
#include <vector>

#include "control/access_token.h"

struct AccessPolicy {
  // When not empty, the requests of the peers tokenScope names (for the
  // page, its files and /backend alike) must carry it, as the query
  // parameter "token" or the cookie accessTokenCookie.
  std::string token;
  TokenScope tokenScope = TokenScope::everyPeer;
  // Origins whose pages may open the WebSocket, as scheme://host[:port].
  std::vector<std::string> allowedOrigins;
  // Names, besides IP literals, localhost and hostName, that the Host header
  // may carry (names under which this machine is reached).
  std::vector<std::string> allowedHosts;
  std::string hostName;
  // This machine's own addresses, as text (IPv4 dotted, IPv6 without brackets).
  std::vector<std::string> ownAddresses;
};

inline constexpr const char* accessTokenCookie = "restore_agent_token";

struct AccessRequest {
  std::optional<std::string> host;    // the Host header
  std::optional<std::string> origin;  // the Origin header
  std::optional<std::string> cookie;  // the Cookie header
  std::string target;                 // path and query, as received
  std::string peerAddress;            // the TCP peer, as text
  bool websocketUpgrade = false;
};

enum class AccessVerdict {
  allowed,
  badHost,      // 403
  badOrigin,    // 403
  missingToken  // 401: absent or wrong
};

struct AccessDecision {
  AccessVerdict verdict = AccessVerdict::allowed;
  // For the log line of a refusal.
  std::string reason;
  // The token came as a query parameter and was right: the page's answer
  // hands it on as a cookie, so that its files and its WebSocket need no
  // parameter of their own.
  bool queryTokenAccepted = false;
};

AccessDecision judgeAccess(const AccessPolicy& policy, const AccessRequest& request);

// `token`, "RESTORE_AGENT_ALLOWED_ORIGINS" and "RESTORE_AGENT_ALLOWED_HOSTS"
// (lists separated by commas or blanks), plus this machine's host name and
// interface addresses.
AccessPolicy accessPolicyFromEnvironment(const AccessTokenSetting& token);

// 127.0.0.0/8, ::1 or an IPv4-mapped loopback address. Any other address,
// the machine's own included, may be a host elsewhere on the network.
bool isLoopbackPeer(const std::string& peerAddress);

// The value of query parameter `name` in a request target, percent-decoded;
// nothing when absent or badly encoded.
std::optional<std::string> queryParameter(const std::string& target, const std::string& name);
// "%41b" -> "Ab"; nothing for a bad escape or a NUL byte.
std::optional<std::string> percentDecode(const std::string& text);
