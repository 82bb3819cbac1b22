#include "credentials.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>

namespace {

std::string lowerHex(const unsigned char* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

std::string md5Raw(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // The client hashes its inputs as C strings, so a zero byte ends them.
  const std::string as_text = text.substr(0, text.find('\0'));
  if (EVP_Digest(as_text.data(), as_text.size(), digest, &length, EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 is not available");
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

std::string hexMd5(const std::string& text) {
  const std::string raw = md5Raw(text);
  return lowerHex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

std::string passwordDigest(const std::string& password, const std::string& salt, int rounds) {
  if (rounds <= 0) {
    return hexMd5(salt + password);
  }
  const std::string key = md5Raw(salt + password);
  unsigned char derived[32];
  if (PKCS5_PBKDF2_HMAC(key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(salt.data()),
                        static_cast<int>(salt.size()), rounds, EVP_sha256(), sizeof(derived), derived) != 1) {
    throw std::runtime_error("PBKDF2 failed");
  }
  return lowerHex(derived, sizeof(derived));
}

std::string challengeResponse(const std::string& challenge, const std::string& digest) {
  return hexMd5(challenge + digest);
}

std::string randomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1) {
    throw std::runtime_error("no random bytes available");
  }
  return lowerHex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

std::string ChallengeBook::issue(const std::string& user) {
  const std::string challenge = randomHex(16);
  std::lock_guard<std::mutex> guard(lock_);
  auto& list = issued_[user];
  const auto now = Clock::now();
  std::erase_if(list, [&](const Issued& entry) { return now - entry.at > kLifetime; });
  if (list.size() >= kPerUser) {
    list.erase(list.begin());
  }
  list.push_back({challenge, now});
  return challenge;
}

bool ChallengeBook::redeem(const StoreUser& user, const std::string& response) {
  std::lock_guard<std::mutex> guard(lock_);
  auto& list = issued_[user.name];
  const auto now = Clock::now();
  const auto match = std::find_if(list.begin(), list.end(), [&](const Issued& entry) {
    return now - entry.at <= kLifetime && challengeResponse(entry.challenge, user.digest) == response;
  });
  if (match == list.end()) {
    return false;
  }
  list.erase(match);
  return true;
}
