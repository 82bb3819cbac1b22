#pragma once
// The salted challenge login from the service's side. The store keeps, per
// user, only what the client derives from salt and password before mixing in
// the challenge, so the password itself is never stored.
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "store.h"

std::string hexMd5(const std::string& text);
// MD5hex(salt + password); with rounds > 0 then lower-case hex of
// PBKDF2-HMAC-SHA256(the 16 raw MD5 bytes, salt, rounds, 32 bytes).
std::string passwordDigest(const std::string& password, const std::string& salt, int rounds);
// What the client sends for one salt entry: MD5hex(challenge + digest).
std::string challengeResponse(const std::string& challenge, const std::string& digest);
std::string randomHex(size_t bytes);

// Challenges handed out by "GET SALT" and not yet used. Each is good for one
// successful login within its lifetime; the login arrives on a new connection,
// so they outlive the connection that asked for them.
class ChallengeBook {
public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::minutes kLifetime{10};
  static constexpr size_t kPerUser = 16;

  std::string issue(const std::string& user);
  // True when `response` answers one of the user's live challenges, which is
  // then used up.
  bool redeem(const StoreUser& user, const std::string& response);

private:
  struct Issued {
    std::string challenge;
    Clock::time_point at;
  };
  std::mutex lock_;
  std::map<std::string, std::vector<Issued>> issued_;
};
