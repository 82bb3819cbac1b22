#pragma once
// The token that hosts other than this machine need. A restore environment
// boots on networks nobody here controls, so unless the operator opens the
// endpoint on purpose, the agent makes a token of its own and keeps it in a
// file only root can read; whoever sits at the machine sees it on the screen.
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

inline constexpr const char* accessTokenFileName = "access-token";

enum class TokenScope {
  none,         // RESTORE_AGENT_ACCESS=open: anyone may connect
  remotePeers,  // the agent's own token: loopback peers need none
  everyPeer     // RESTORE_AGENT_TOKEN: every request, as the operator set it
};

struct AccessTokenSetting {
  std::string token;
  TokenScope scope = TokenScope::none;
};

// At least 128 bits from the system's random source, as URL-safe text.
// Nothing when the random source fails.
std::optional<std::string> makeAccessToken();

// The token kept in `file`, when that holds one (a regular file, not a
// link); otherwise a new one written there with mode 0600. On failure
// nothing, with the cause in `error`.
std::optional<std::string> loadOrMakeAccessToken(const std::filesystem::path& file, std::string& error);

// RESTORE_AGENT_TOKEN wins; else RESTORE_AGENT_ACCESS=open opens the
// endpoint; else the token of `file`. On failure nothing, with the cause in
// `error`: the agent must then not start open by accident.
std::optional<AccessTokenSetting> accessTokenFromEnvironment(const std::filesystem::path& file,
                                                             std::string& error);

// The token requests are judged by, read by every request's thread. The
// agent's own token follows its file while the agent runs: deleted, the file
// is made anew with a new token, and a usable token written there by the
// operator is taken; the old token stops working either way. A configured
// token and open access stay as they were set.
class AccessTokenHolder {
public:
  AccessTokenHolder(AccessTokenSetting setting, std::filesystem::path file);

  AccessTokenSetting current() const;
  // Compares the agent's own token with its file; true when the token in use
  // changed. A file that holds no usable token (a link, a file others could
  // read) leaves the token in use as it is, and is logged once, not every
  // time it is looked at. Called from
  // one thread at a time.
  bool followFile();

private:
  void replace(std::string token);
  void complainOnce(const std::string& complaint);

  mutable std::mutex mutex_;
  AccessTokenSetting setting_;
  const std::filesystem::path file_;
  std::string lastComplaint_;
};
