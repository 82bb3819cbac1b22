#include "control/access_policy.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

struct HostPort {
  std::string host;  // lower case, IPv6 without brackets
  std::optional<unsigned> port;
};

// "name", "name:port", "[v6]" or "[v6]:port".
std::optional<HostPort> parseHostPort(const std::string& text) {
  HostPort result;
  std::string rest;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) {
      return std::nullopt;
    }
    result.host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      return std::nullopt;
    }
  } else {
    const std::size_t colon = text.find(':');
    result.host = text.substr(0, colon);
    if (colon != std::string::npos) {
      rest = text.substr(colon);
    }
  }
  if (result.host.empty()) {
    return std::nullopt;
  }
  for (const char c : result.host) {
    // Names, IPv4 and IPv6 literals; nothing that could hide a second host.
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != ':' && c != '_') {
      return std::nullopt;
    }
  }
  if (!rest.empty()) {
    const std::string digits = rest.substr(1);
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) {
      return std::nullopt;
    }
    const unsigned long port = std::stoul(digits);
    if (port > 65535) {
      return std::nullopt;
    }
    result.port = static_cast<unsigned>(port);
  }
  result.host = lowered(result.host);
  return result;
}

// One text per address, whatever way it was written: IPv4-mapped IPv6
// addresses (how a dual-stack socket shows IPv4 peers) become IPv4, a zone
// ("%eth0") is dropped. Nothing when the text is no IP address.
std::optional<std::string> canonicalAddress(std::string text) {
  const std::size_t zone = text.find('%');
  if (zone != std::string::npos) {
    text.erase(zone);
  }
  char buffer[INET6_ADDRSTRLEN] = {};
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    return std::string(::inet_ntop(AF_INET, &v4, buffer, sizeof buffer));
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) {
    return std::nullopt;
  }
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    std::copy_n(v6.s6_addr + 12, 4, reinterpret_cast<unsigned char*>(&v4));
    return std::string(::inet_ntop(AF_INET, &v4, buffer, sizeof buffer));
  }
  return std::string(::inet_ntop(AF_INET6, &v6, buffer, sizeof buffer));
}

bool isLoopbackAddress(const std::string& canonical) {
  return canonical == "::1" || canonical.rfind("127.", 0) == 0;
}

bool isLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "localhost.") {
    return true;
  }
  const std::optional<std::string> address = canonicalAddress(host);
  return address && isLoopbackAddress(*address);
}

bool isOwnAddress(const AccessPolicy& policy, const std::string& host) {
  const std::optional<std::string> address = canonicalAddress(host);
  if (!address) {
    return false;
  }
  return std::any_of(policy.ownAddresses.begin(), policy.ownAddresses.end(), [&](const std::string& own) {
    return canonicalAddress(own) == address;
  });
}

bool sameName(std::string a, std::string b) {
  a = lowered(a);
  b = lowered(b);
  if (!a.empty() && a.back() == '.') {
    a.pop_back();
  }
  if (!b.empty() && b.back() == '.') {
    b.pop_back();
  }
  return !a.empty() && a == b;
}

bool hostAllowed(const AccessPolicy& policy, const std::string& host) {
  if (canonicalAddress(host) || isLoopbackHost(host) || sameName(host, policy.hostName)) {
    return true;
  }
  return std::any_of(policy.allowedHosts.begin(), policy.allowedHosts.end(),
                     [&](const std::string& name) { return sameName(host, name); });
}

struct Origin {
  std::string scheme;
  HostPort where;  // port always set
};

std::optional<Origin> parseOrigin(const std::string& text) {
  const std::size_t separator = text.find("://");
  if (separator == std::string::npos) {
    return std::nullopt;
  }
  Origin origin;
  origin.scheme = lowered(text.substr(0, separator));
  unsigned defaultPort = 0;
  if (origin.scheme == "http") {
    defaultPort = 80;
  } else if (origin.scheme == "https") {
    defaultPort = 443;
  } else {
    return std::nullopt;
  }
  std::optional<HostPort> where = parseHostPort(text.substr(separator + 3));
  if (!where) {
    return std::nullopt;
  }
  if (!where->port) {
    where->port = defaultPort;
  }
  origin.where = *where;
  return origin;
}

bool sameHost(const std::string& a, const std::string& b) {
  const std::optional<std::string> addressA = canonicalAddress(a);
  const std::optional<std::string> addressB = canonicalAddress(b);
  if (addressA || addressB) {
    return addressA == addressB;
  }
  return sameName(a, b);
}

bool originAllowed(const AccessPolicy& policy, const std::string& originText, const HostPort& requestHost,
                   const std::string& peerAddress) {
  // "null" is what a sandboxed frame of any web site sends, so it never
  // speaks for a page of ours.
  const std::optional<Origin> origin = parseOrigin(originText);
  if (!origin) {
    return false;
  }
  // "localhost" or 127.0.0.1 in an origin is the browser's own machine: it is
  // ours only when the browser runs here, on a loopback connection. A page on
  // a technician's laptop is served from that laptop's loopback too.
  if (isLoopbackHost(origin->where.host)) {
    return isLoopbackPeer(peerAddress);
  }
  // Our own page, as the browser reached it.
  if (sameHost(origin->where.host, requestHost.host) && origin->where.port == requestHost.port.value_or(80)) {
    return true;
  }
  if (isOwnAddress(policy, origin->where.host)) {
    return true;
  }
  return std::any_of(policy.allowedOrigins.begin(), policy.allowedOrigins.end(), [&](const std::string& entry) {
    const std::optional<Origin> allowed = parseOrigin(entry);
    return allowed && allowed->scheme == origin->scheme && allowed->where.port == origin->where.port &&
           sameHost(allowed->where.host, origin->where.host);
  });
}

std::optional<std::string> cookieValue(const std::string& header, const std::string& name) {
  std::size_t start = 0;
  while (start < header.size()) {
    std::size_t end = header.find(';', start);
    if (end == std::string::npos) {
      end = header.size();
    }
    std::string pair = header.substr(start, end - start);
    const std::size_t first = pair.find_first_not_of(' ');
    pair = first == std::string::npos ? std::string() : pair.substr(first);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos && pair.substr(0, equals) == name) {
      return percentDecode(pair.substr(equals + 1));
    }
    start = end + 1;
  }
  return std::nullopt;
}

// Takes as long for a wrong token as for a right one of the same length.
bool sameSecret(const std::string& given, const std::string& expected) {
  if (expected.empty()) {
    return false;
  }
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
  }
  return difference == 0;
}

bool cookieTokenPresented(const AccessPolicy& policy, const AccessRequest& request) {
  if (!request.cookie) {
    return false;
  }
  const std::optional<std::string> cookie = cookieValue(*request.cookie, accessTokenCookie);
  return cookie && sameSecret(*cookie, policy.token);
}

std::vector<std::string> splitList(const char* text) {
  std::vector<std::string> items;
  std::string item;
  for (const char* c = text ? text : ""; *c; ++c) {
    if (*c == ',' || std::isspace(static_cast<unsigned char>(*c))) {
      if (!item.empty()) {
        items.push_back(item);
      }
      item.clear();
    } else {
      item += *c;
    }
  }
  if (!item.empty()) {
    items.push_back(item);
  }
  return items;
}

}  // namespace

std::optional<std::string> percentDecode(const std::string& text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) {
        return std::nullopt;
      }
      const std::string hex = text.substr(i + 1, 2);
      if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0])) ||
          !std::isxdigit(static_cast<unsigned char>(hex[1]))) {
        return std::nullopt;
      }
      c = static_cast<char>(std::stoi(hex, nullptr, 16));
      i += 2;
    }
    if (c == '\0') {
      return std::nullopt;
    }
    decoded += c;
  }
  return decoded;
}

std::optional<std::string> queryParameter(const std::string& target, const std::string& name) {
  const std::size_t question = target.find('?');
  if (question == std::string::npos) {
    return std::nullopt;
  }
  const std::string query = target.substr(question + 1);
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) {
      end = query.size();
    }
    const std::string pair = query.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos && pair.substr(0, equals) == name) {
      return percentDecode(pair.substr(equals + 1));
    }
    start = end + 1;
  }
  return std::nullopt;
}

AccessDecision judgeAccess(const AccessPolicy& policy, const AccessRequest& request) {
  const std::optional<HostPort> host = request.host ? parseHostPort(*request.host) : std::nullopt;
  if (!host || !hostAllowed(policy, host->host)) {
    return {AccessVerdict::badHost, "Host " + (request.host ? "\"" + *request.host + "\"" : "missing")};
  }
  if (request.websocketUpgrade && request.origin &&
      !originAllowed(policy, *request.origin, *host, request.peerAddress)) {
    return {AccessVerdict::badOrigin, "Origin \"" + *request.origin + "\""};
  }
  AccessDecision decision;
  const bool tokenNeeded =
      !policy.token.empty() && (policy.tokenScope == TokenScope::everyPeer ||
                                (policy.tokenScope == TokenScope::remotePeers && !isLoopbackPeer(request.peerAddress)));
  if (tokenNeeded) {
    const std::optional<std::string> query = queryParameter(request.target, "token");
    decision.queryTokenAccepted = query && sameSecret(*query, policy.token);
    if (!decision.queryTokenAccepted && !cookieTokenPresented(policy, request)) {
      return {AccessVerdict::missingToken, "no valid access token", false};
    }
  }
  return decision;
}

bool isLoopbackPeer(const std::string& peerAddress) {
  const std::optional<std::string> peer = canonicalAddress(peerAddress);
  return peer && isLoopbackAddress(*peer);
}

AccessPolicy accessPolicyFromEnvironment(const AccessTokenSetting& token) {
  AccessPolicy policy;
  policy.token = token.token;
  policy.tokenScope = token.scope;
  policy.allowedOrigins = splitList(std::getenv("RESTORE_AGENT_ALLOWED_ORIGINS"));
  policy.allowedHosts = splitList(std::getenv("RESTORE_AGENT_ALLOWED_HOSTS"));

  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0) {
    policy.hostName = name;
  }
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) == 0) {
    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
      if (!entry->ifa_addr) {
        continue;
      }
      char text[INET6_ADDRSTRLEN] = {};
      const int family = entry->ifa_addr->sa_family;
      const void* address = nullptr;
      if (family == AF_INET) {
        address = &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
      } else if (family == AF_INET6) {
        address = &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
      }
      if (address && ::inet_ntop(family, address, text, sizeof text)) {
        policy.ownAddresses.emplace_back(text);
      }
    }
    ::freeifaddrs(interfaces);
  }
  return policy;
}
