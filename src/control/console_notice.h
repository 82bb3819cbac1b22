#pragma once
// Shows whoever sits at the machine how to reach the agent from elsewhere:
// one line per address, with the token, in the log and above the console's
// login prompt (agetty shows the files of /etc/issue.d there).
#include <filesystem>
#include <string>
#include <vector>

inline constexpr const char* consoleIssueFileName = "restore-agent.issue";

// "Open SCHEME://ADDRESS:PORT/?token=TOKEN" for each address that another
// host could use (loopback ones left out, IPv6 in brackets); without
// "?token=..." when `token` is empty. A character of the token that a URL
// cannot carry as it is goes percent-encoded. `scheme` is "https" when the
// endpoint speaks TLS.
std::vector<std::string> consoleLines(const std::vector<std::string>& addresses, const std::string& token,
                                      unsigned short port, const std::string& scheme = "http");

class ConsoleNotice {
public:
  // `issueFolder`: where agetty looks; nothing is written when it does not
  // exist.
  ConsoleNotice(std::filesystem::path issueFolder, std::string token, unsigned short port,
                std::string scheme = "http");

  // Logs the lines and rewrites the console's file, with a QR code of the
  // first line's address, when `addresses` give other lines than last time.
  void update(const std::vector<std::string>& addresses);
  // The token of the lines from the next update() on.
  void replaceToken(std::string token) { token_ = std::move(token); }
  // Takes the file away again.
  void remove() const;

private:
  std::filesystem::path issueFile() const { return issueFolder_ / consoleIssueFileName; }

  std::filesystem::path issueFolder_;
  std::string token_;
  unsigned short port_;
  std::string scheme_;
  std::vector<std::string> shown_;
  bool first_ = true;
};
