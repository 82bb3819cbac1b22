// Who may reach the endpoint: the Host a browser used, the Origin of the page
// that opens the WebSocket, and the optional access token.
#include "control/access_policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

AccessPolicy machine() {
  AccessPolicy policy;
  policy.hostName = "rescue-pc";
  policy.ownAddresses = {"127.0.0.1", "::1", "192.168.7.20", "fe80::5054:ff:fe12:3456"};
  policy.allowedOrigins = {"https://console.example.org:8443"};
  policy.allowedHosts = {"rescue-pc.lab.example.org"};
  return policy;
}

struct Case {
  const char* what;
  std::optional<std::string> host;
  std::optional<std::string> origin;
  std::string peer;
  AccessVerdict expected;
};

TEST(AccessPolicy, WebSocketUpgradesAreJudgedByHostAndOrigin) {
  const std::vector<Case> cases = {
      // Clients without a browser send no Origin: restorectl, scripts.
      {"no origin", "127.0.0.1:12209", std::nullopt, "127.0.0.1", AccessVerdict::allowed},
      {"no origin, remote peer", "192.168.7.20:12209", std::nullopt, "192.168.7.99", AccessVerdict::allowed},
      // The agent's own page, however the browser named the machine.
      {"own page by address", "192.168.7.20:12209", "http://192.168.7.20:12209", "10.0.0.5",
       AccessVerdict::allowed},
      {"own page by name", "Rescue-PC:12209", "http://rescue-pc:12209", "10.0.0.5", AccessVerdict::allowed},
      {"own page by IPv6", "[fe80::5054:ff:fe12:3456]:12209", "http://[fe80::5054:ff:fe12:3456]:12209",
       "fe80::1", AccessVerdict::allowed},
      {"own page via allowed name", "rescue-pc.lab.example.org:12209",
       "http://rescue-pc.lab.example.org:12209", "10.0.0.5", AccessVerdict::allowed},
      // A page of another server on this machine, any port.
      {"other port on own address", "192.168.7.20:12209", "http://192.168.7.20:8080", "10.0.0.5",
       AccessVerdict::allowed},
      {"localhost page, browser here", "127.0.0.1:12209", "http://localhost:3000", "::ffff:127.0.0.1",
       AccessVerdict::allowed},
      {"loopback page via IPv6 loopback", "[::1]:12209", "http://[::1]:5000", "::1", AccessVerdict::allowed},
      // "localhost" of a browser elsewhere is that other machine; a peer on
      // one of our other addresses may be elsewhere too.
      {"localhost page, browser elsewhere", "192.168.7.20:12209", "http://localhost:3000", "192.168.7.99",
       AccessVerdict::badOrigin},
      {"loopback page, browser elsewhere", "192.168.7.20:12209", "http://127.0.0.1:8888", "192.168.7.99",
       AccessVerdict::badOrigin},
      {"loopback page, browser on own non-loopback address", "192.168.7.20:12209", "http://127.0.0.1:5000",
       "192.168.7.20", AccessVerdict::badOrigin},
      {"loopback page naming our port, browser elsewhere", "127.0.0.1:12209", "http://127.0.0.1:12209",
       "192.168.7.99", AccessVerdict::badOrigin},
      {"allow-listed origin", "192.168.7.20:12209", "https://console.example.org:8443", "10.0.0.5",
       AccessVerdict::allowed},
      {"allow-listed host, other port", "192.168.7.20:12209", "https://console.example.org", "10.0.0.5",
       AccessVerdict::badOrigin},
      {"allow-listed host, other scheme", "192.168.7.20:12209", "http://console.example.org:8443", "10.0.0.5",
       AccessVerdict::badOrigin},
      {"foreign site", "192.168.7.20:12209", "https://evil.example.com", "10.0.0.5", AccessVerdict::badOrigin},
      {"foreign site posing with same port", "192.168.7.20:12209", "http://evil.example.com:12209", "10.0.0.5",
       AccessVerdict::badOrigin},
      {"same host, other port", "192.168.7.20:12209", "http://rescue-pc:8080", "10.0.0.5",
       AccessVerdict::badOrigin},
      {"origin with a path", "192.168.7.20:12209", "http://192.168.7.20:12209/x", "10.0.0.5",
       AccessVerdict::badOrigin},
      {"origin of a file scheme", "192.168.7.20:12209", "file://", "127.0.0.1", AccessVerdict::badOrigin},
      // "null" is any site's sandboxed frame, even in the console's browser.
      {"null from loopback", "127.0.0.1:12209", "null", "127.0.0.1", AccessVerdict::badOrigin},
      {"null from loopback via dual stack", "localhost:12209", "null", "::ffff:127.0.0.1",
       AccessVerdict::badOrigin},
      {"null from another address", "192.168.7.20:12209", "null", "192.168.7.99", AccessVerdict::badOrigin},
      {"null from own non-loopback address", "192.168.7.20:12209", "null", "192.168.7.20",
       AccessVerdict::badOrigin},
      // DNS rebinding: a foreign name that now resolves to this machine.
      {"rebound name", "attacker.example.com:12209", "http://attacker.example.com:12209", "10.0.0.5",
       AccessVerdict::badHost},
      {"rebound name without origin", "attacker.example.com:12209", std::nullopt, "10.0.0.5",
       AccessVerdict::badHost},
      {"no host", std::nullopt, std::nullopt, "127.0.0.1", AccessVerdict::badHost},
      {"empty host", "", std::nullopt, "127.0.0.1", AccessVerdict::badHost},
      {"host with a second host hidden", "127.0.0.1@evil.example.com", std::nullopt, "127.0.0.1",
       AccessVerdict::badHost},
      {"host with a bad port", "127.0.0.1:99999", std::nullopt, "127.0.0.1", AccessVerdict::badHost},
      {"unbracketed IPv6 host", "::1", std::nullopt, "::1", AccessVerdict::badHost},
      {"IPv6 literal host", "[::1]:12209", std::nullopt, "::1", AccessVerdict::allowed},
      {"localhost with trailing dot", "LOCALHOST.:12209", std::nullopt, "127.0.0.1", AccessVerdict::allowed},
      {"any IP literal", "10.20.30.40", std::nullopt, "10.20.30.1", AccessVerdict::allowed},
  };
  const AccessPolicy policy = machine();
  for (const Case& c : cases) {
    AccessRequest request;
    request.host = c.host;
    request.origin = c.origin;
    request.peerAddress = c.peer;
    request.target = "/backend";
    request.websocketUpgrade = true;
    EXPECT_EQ(judgeAccess(policy, request).verdict, c.expected) << c.what;
  }
}

TEST(AccessPolicy, PlainRequestsForThePageAreJudgedByHostOnly) {
  AccessRequest request;
  request.target = "/";
  request.peerAddress = "10.0.0.5";
  request.host = "192.168.7.20:12209";
  // Browsers send Origin with some plain requests; what they may read back is
  // their own affair, and the page changes nothing.
  request.origin = "https://evil.example.com";
  EXPECT_EQ(judgeAccess(machine(), request).verdict, AccessVerdict::allowed);
  request.host = "attacker.example.com";
  EXPECT_EQ(judgeAccess(machine(), request).verdict, AccessVerdict::badHost);
}

TEST(AccessPolicy, TokenIsNeededEverywhereOnceSet) {
  AccessPolicy policy = machine();
  policy.token = "s3cret&x=1";
  struct TokenCase {
    const char* what;
    std::string target;
    std::optional<std::string> cookie;
    AccessVerdict expected;
    bool rememberedFromQuery;
  };
  const std::vector<TokenCase> cases = {
      {"none", "/backend", std::nullopt, AccessVerdict::missingToken, false},
      {"in the query, encoded", "/backend?token=s3cret%26x%3D1", std::nullopt, AccessVerdict::allowed, true},
      {"among other parameters", "/?lang=en&token=s3cret%26x%3D1", std::nullopt, AccessVerdict::allowed, true},
      {"unencoded, cut at &", "/backend?token=s3cret&x=1", std::nullopt, AccessVerdict::missingToken, false},
      {"wrong", "/backend?token=s3cres%26x%3D1", std::nullopt, AccessVerdict::missingToken, false},
      {"prefix only", "/backend?token=s3cret", std::nullopt, AccessVerdict::missingToken, false},
      {"longer", "/backend?token=s3cret%26x%3D12", std::nullopt, AccessVerdict::missingToken, false},
      {"empty", "/backend?token=", std::nullopt, AccessVerdict::missingToken, false},
      {"other parameter name", "/backend?xtoken=s3cret%26x%3D1", std::nullopt, AccessVerdict::missingToken, false},
      {"cookie", "/app.js", "theme=dark; restore_agent_token=s3cret%26x%3D1", AccessVerdict::allowed, false},
      {"wrong cookie", "/app.js", "restore_agent_token=nope", AccessVerdict::missingToken, false},
      {"cookie of another name", "/app.js", "xrestore_agent_token=s3cret%26x%3D1", AccessVerdict::missingToken,
       false},
      {"wrong query, right cookie", "/?token=nope", "restore_agent_token=s3cret%26x%3D1", AccessVerdict::allowed,
       false},
  };
  for (const TokenCase& c : cases) {
    AccessRequest request;
    request.host = "127.0.0.1:12209";
    request.peerAddress = "127.0.0.1";
    request.target = c.target;
    request.cookie = c.cookie;
    request.websocketUpgrade = c.target.rfind("/backend", 0) == 0;
    const AccessDecision decision = judgeAccess(policy, request);
    EXPECT_EQ(decision.verdict, c.expected) << c.what;
    EXPECT_EQ(decision.queryTokenAccepted, c.rememberedFromQuery) << c.what;
  }

  // The token does not let a foreign page in.
  AccessRequest foreign;
  foreign.host = "127.0.0.1:12209";
  foreign.peerAddress = "127.0.0.1";
  foreign.target = "/backend?token=s3cret%26x%3D1";
  foreign.origin = "https://evil.example.com";
  foreign.websocketUpgrade = true;
  EXPECT_EQ(judgeAccess(policy, foreign).verdict, AccessVerdict::badOrigin);
}

TEST(AccessPolicy, TheAgentsOwnTokenIsNeededByEveryPeerButLoopback) {
  AccessPolicy policy = machine();
  policy.token = "Zq3-remote_token_of_32_characters";
  policy.tokenScope = TokenScope::remotePeers;
  const struct {
    const char* peer;
    bool loopback;
  } peers[] = {
      {"127.0.0.1", true},      {"127.8.9.10", true},        {"::1", true},
      {"::ffff:127.0.0.1", true}, {"192.168.7.99", false},   {"192.168.7.20", false},
      {"::ffff:10.0.0.5", false}, {"fe80::5054:ff:fe12:3456", false}, {"not an address", false},
  };
  for (const auto& p : peers) {
    for (const char* target : {"/", "/app.js", "/backend"}) {
      AccessRequest request;
      request.host = "192.168.7.20:12209";
      request.peerAddress = p.peer;
      request.target = target;
      request.websocketUpgrade = std::string(target) == "/backend";
      EXPECT_EQ(judgeAccess(policy, request).verdict,
                p.loopback ? AccessVerdict::allowed : AccessVerdict::missingToken)
          << p.peer << " " << target;
      request.target = std::string(target) + "?token=Zq3-remote_token_of_32_characters";
      EXPECT_EQ(judgeAccess(policy, request).verdict, AccessVerdict::allowed) << p.peer << " " << target;
      request.target = target;
      request.cookie = "restore_agent_token=Zq3-remote_token_of_32_characters";
      EXPECT_EQ(judgeAccess(policy, request).verdict, AccessVerdict::allowed) << p.peer << " " << target;
    }
  }

  // Open on purpose: nobody needs a token.
  policy.token.clear();
  policy.tokenScope = TokenScope::none;
  AccessRequest remote;
  remote.host = "192.168.7.20:12209";
  remote.peerAddress = "192.168.7.99";
  remote.target = "/backend";
  remote.websocketUpgrade = true;
  EXPECT_EQ(judgeAccess(policy, remote).verdict, AccessVerdict::allowed);
}

TEST(AccessPolicy, PercentDecodingRefusesWhatCouldHideAPath) {
  EXPECT_EQ(percentDecode("%2e%2E/a%20b"), "../a b");
  EXPECT_EQ(percentDecode("%252e"), "%2e");
  EXPECT_EQ(percentDecode("abc%"), std::nullopt);
  EXPECT_EQ(percentDecode("abc%4"), std::nullopt);
  EXPECT_EQ(percentDecode("%zz"), std::nullopt);
  EXPECT_EQ(percentDecode("a%00b"), std::nullopt);
}

}  // namespace
