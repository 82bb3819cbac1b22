#pragma once
// Salt fetch and salted password login against the backup service.
#include <cstddef>
#include <string>
#include <vector>

// The service chooses the PBKDF2 rounds and the number of salts; beyond these
// a broken or hostile service could keep the session hashing for hours.
inline constexpr int kMaxPbkdf2Rounds = 10'000'000;
inline constexpr size_t kMaxSalts = 16;

// One entry of the salt reply. An entry with an empty salt or challenge is a
// placeholder: it keeps its index but takes no part in the login; so does an
// entry asking for more than kMaxPbkdf2Rounds rounds.
struct SPasswordSalt {
  std::string salt;
  std::string challenge;
  int rounds = 0;  // PBKDF2 iterations; 0 or less: no PBKDF2 step

  bool usable() const { return !salt.empty() && !challenge.empty() && rounds <= kMaxPbkdf2Rounds; }
};

// err: 0 done, 1 empty reply, 10 no connection.
std::vector<SPasswordSalt> getSalt(const std::string& username, int* err);
// True when the service accepted the login ("ok" or "no channels available").
bool tryLogin(const std::string& username, const std::string& password, std::vector<SPasswordSalt> salts,
              int* err);
// PBKDF2-HMAC-SHA256, 32-byte key, as 64 upper-case hexadecimal characters.
std::string generatePasswordHash(const std::string& password, const std::string& salt, size_t iterations);

// Pure pieces of the two requests, exposed for tests. A reply with more than
// kMaxSalts entries is refused whole (no entries).
std::vector<SPasswordSalt> parseSaltReply(const std::string& reply);
// "&username=<name>&password<i>=<digest>..." for every usable salt; empty for
// an empty user name.
std::string loginParameters(const std::string& username, const std::string& password,
                            const std::vector<SPasswordSalt>& salts);
