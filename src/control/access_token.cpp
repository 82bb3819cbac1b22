#include "control/access_token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "control/log_line.h"
#include "support/unique_fd.h"

namespace {

constexpr std::size_t tokenBytes = 24;  // 192 bits, 32 characters
constexpr std::size_t shortestKeptToken = 22;  // 128 bits in this alphabet
constexpr const char* urlSafe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encodeUrlSafe(const unsigned char* bytes, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i + 2 < size; i += 3) {
    const unsigned value = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) {
      text += urlSafe[(value >> shift) & 63];
    }
  }
  return text;
}

bool isUsableToken(const std::string& text) {
  return text.size() >= shortestKeptToken && text.size() <= 256 &&
         text.find_first_not_of(urlSafe) == std::string::npos;
}

std::string cause(const std::string& what, const std::filesystem::path& file) {
  return what + " " + file.string() + ": " + std::strerror(errno);
}

// The file's token, when it is ours alone: a file others could read, or a
// link someone planted, does not hold a secret. Otherwise nothing, and in
// `why` the reason.
std::optional<std::string> readKeptToken(const std::filesystem::path& file, std::string& why) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0) {
    why = errno == ELOOP ? "is a symbolic link" : std::string("cannot be read: ") + std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
    why = "is not a regular file of the agent's user";
    return std::nullopt;
  }
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    why = "is open to group or others (it must have mode 0600)";
    return std::nullopt;
  }
  std::array<char, 512> buffer{};
  const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
  std::string text(buffer.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  if (!isUsableToken(text)) {
    why = "holds no token (22 to 256 characters of A-Z a-z 0-9 - _)";
    return std::nullopt;
  }
  return text;
}

// Written beside and renamed over, so a reader never sees half a token and a
// crash leaves the old file or the new one.
bool keepToken(const std::filesystem::path& file, const std::string& token, std::string& error) {
  std::filesystem::path partial = file;
  partial += ".new";
  ::unlink(partial.c_str());
  const UniqueFd fd(::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    error = cause("cannot create", partial);
    return false;
  }
  const std::string text = token + "\n";
  if (::fchmod(fd.get(), 0600) != 0 || ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      ::fsync(fd.get()) != 0 || ::rename(partial.c_str(), file.c_str()) != 0) {
    error = cause("cannot write", partial);
    ::unlink(partial.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> makeAccessToken() {
  std::array<unsigned char, tokenBytes> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(got);
  }
  return encodeUrlSafe(bytes.data(), bytes.size());
}

std::optional<std::string> loadOrMakeAccessToken(const std::filesystem::path& file, std::string& error) {
  std::string why;
  if (std::optional<std::string> kept = readKeptToken(file, why)) {
    return kept;
  }
  std::optional<std::string> token = makeAccessToken();
  if (!token) {
    error = "the system's random source failed";
    return std::nullopt;
  }
  if (!keepToken(file, *token, error)) {
    return std::nullopt;
  }
  return token;
}

std::optional<AccessTokenSetting> accessTokenFromEnvironment(const std::filesystem::path& file,
                                                             std::string& error) {
  if (const char* token = std::getenv("RESTORE_AGENT_TOKEN"); token && *token) {
    return AccessTokenSetting{token, TokenScope::everyPeer};
  }
  if (const char* access = std::getenv("RESTORE_AGENT_ACCESS"); access && std::string(access) == "open") {
    return AccessTokenSetting{{}, TokenScope::none};
  }
  std::optional<std::string> token = loadOrMakeAccessToken(file, error);
  if (!token) {
    return std::nullopt;
  }
  return AccessTokenSetting{*token, TokenScope::remotePeers};
}

AccessTokenHolder::AccessTokenHolder(AccessTokenSetting setting, std::filesystem::path file)
    : setting_(std::move(setting)), file_(std::move(file)) {}

AccessTokenSetting AccessTokenHolder::current() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return setting_;
}

bool AccessTokenHolder::followFile() {
  const AccessTokenSetting inUse = current();
  if (inUse.scope != TokenScope::remotePeers) {
    return false;
  }
  struct stat status {};
  if (::lstat(file_.c_str(), &status) != 0 && errno == ENOENT) {
    std::string error;
    std::optional<std::string> token = makeAccessToken();
    if (!token) {
      complainOnce("Cannot make a new access token: the system's random source failed; the token in use stays");
      return false;
    }
    if (!keepToken(file_, *token, error)) {
      complainOnce("Cannot make a new access token: " + error + "; the token in use stays");
      return false;
    }
    logLine(file_.string() + " was removed: a new access token was made, the old one no longer works");
    replace(std::move(*token));
    return true;
  }
  std::string why;
  std::optional<std::string> kept = readKeptToken(file_, why);
  if (!kept) {
    complainOnce("Not taking the access token of " + file_.string() + ": it " + why + "; the token in use stays");
    return false;
  }
  lastComplaint_.clear();
  if (*kept == inUse.token) {
    return false;
  }
  logLine("Took the access token written to " + file_.string() + ": the old one no longer works");
  replace(std::move(*kept));
  return true;
}

void AccessTokenHolder::replace(std::string token) {
  lastComplaint_.clear();
  const std::lock_guard<std::mutex> lock(mutex_);
  setting_.token = std::move(token);
}

void AccessTokenHolder::complainOnce(const std::string& complaint) {
  if (complaint != lastComplaint_) {
    logLine(complaint);
  }
  lastComplaint_ = complaint;
}
