#include "control/console_notice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <fstream>
#include <string_view>
#include <system_error>

#include "control/access_policy.h"
#include "control/log_line.h"
#include "control/qr_text.h"

namespace {

constexpr std::string_view openWord = "Open ";

bool isLinkLocal(const std::string& address) {
  in6_addr v6{};
  return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LINKLOCAL(&v6);
}

// An operator's RESTORE_AGENT_TOKEN may hold any text. Percent-encoded, it
// also keeps backslashes out of the console's file, where agetty would take
// them for its escapes.
std::string forUrl(const std::string& token) {
  static constexpr const char* hex = "0123456789ABCDEF";
  std::string text;
  for (const char c : token) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            c == '-' || c == '_' || c == '.' || c == '~';
    if (unreserved) {
      text += c;
    } else {
      text += '%';
      text += hex[byte >> 4];
      text += hex[byte & 15];
    }
  }
  return text;
}

}  // namespace

std::vector<std::string> consoleLines(const std::vector<std::string>& addresses, const std::string& token,
                                      unsigned short port, const std::string& scheme) {
  std::vector<std::string> lines;
  for (const std::string& address : addresses) {
    // A link-local address needs the browser's own interface name: no
    // address to type in.
    if (isLoopbackPeer(address) || isLinkLocal(address) || address.find('%') != std::string::npos) {
      continue;
    }
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    std::string line = std::string(openWord) + scheme + "://" + host + ":" + std::to_string(port) + "/";
    if (!token.empty()) {
      line += "?token=" + forUrl(token);
    }
    lines.push_back(line);
  }
  return lines;
}

ConsoleNotice::ConsoleNotice(std::filesystem::path issueFolder, std::string token, unsigned short port,
                             std::string scheme)
    : issueFolder_(std::move(issueFolder)), token_(std::move(token)), port_(port), scheme_(std::move(scheme)) {}

void ConsoleNotice::update(const std::vector<std::string>& addresses) {
  std::vector<std::string> lines = consoleLines(addresses, token_, port_, scheme_);
  if (!first_ && lines == shown_) {
    return;
  }
  first_ = false;
  shown_ = std::move(lines);
  if (shown_.empty()) {
    logLine("No network address yet to open the agent's page from another host");
  }
  for (const std::string& line : shown_) {
    logLine(line);
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(issueFolder_, ec)) {
    return;
  }
  // Written beside and renamed over: agetty never shows half a file. Only
  // root reads it; the console shows it to whoever sits there.
  std::filesystem::path partial = issueFile();
  partial += ".new";
  {
    std::ofstream out(partial, std::ios::trunc);
    out << "\nThe restore agent can be reached from other hosts:\n";
    for (const std::string& line : shown_) {
      out << "  " << line << "\n";
    }
    out << "\n";
    if (!shown_.empty()) {
      for (const std::string& row : qrTextLines(shown_.front().substr(openWord.size()))) {
        out << "  " << row << "\n";
      }
      out << "\n";
    }
    if (!out.flush()) {
      logLine("Cannot write " + partial.string());
      return;
    }
  }
  ::chmod(partial.c_str(), 0600);
  std::filesystem::rename(partial, issueFile(), ec);
  if (ec) {
    logLine("Cannot write " + issueFile().string() + ": " + ec.message());
  }
}

void ConsoleNotice::remove() const {
  std::error_code ec;
  std::filesystem::remove(issueFile(), ec);
}
