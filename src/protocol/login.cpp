#include "protocol/login.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "protocol/md5.h"
#include "protocol/server_connection.h"
#include "support/log_line.h"
#include "support/text.h"

namespace {

// The service digests these inputs as C strings, so anything after a zero
// byte never takes part; both sides must cut at the same place.
std::string uptoZero(const std::string& text) { return text.substr(0, text.find('\0')); }

std::string passwordDigest(const std::string& password, const SPasswordSalt& entry) {
  std::string hash = md5Hex(uptoZero(entry.salt + password));
  if (entry.rounds > 0) {
    hash = strlower(generatePasswordHash(hexToBytes(hash), entry.salt, static_cast<size_t>(entry.rounds)));
  }
  return md5Hex(uptoZero(entry.challenge + hash));
}

}  // namespace

std::vector<SPasswordSalt> parseSaltReply(const std::string& reply) {
  std::vector<std::string> pieces;
  Tokenize(reply, pieces, "/");
  std::vector<SPasswordSalt> salts;
  if (pieces.size() > kMaxSalts) {
    logLine("Salt reply with " + std::to_string(pieces.size()) + " entries refused");
    return salts;
  }
  for (const std::string& piece : pieces) {
    SPasswordSalt entry;
    if (piece.rfind("ok;", 0) == 0) {
      std::vector<std::string> parts;
      Tokenize(piece, parts, ";");
      if (parts.size() == 3 || parts.size() == 4) {
        entry.salt = parts[1];
        entry.challenge = parts[2];
      }
      if (parts.size() == 4) {
        // Clamped, so that a count beyond int cannot wrap into a small one.
        const long rounds = std::strtol(parts[3].c_str(), nullptr, 10);
        entry.rounds = static_cast<int>(std::clamp<long>(rounds, INT_MIN, INT_MAX));
        if (entry.rounds > kMaxPbkdf2Rounds) {
          logLine("Salt with " + parts[3] + " PBKDF2 rounds left out");
        }
      }
    }
    salts.push_back(entry);
  }
  return salts;
}

std::string loginParameters(const std::string& username, const std::string& password,
                            const std::vector<SPasswordSalt>& salts) {
  if (username.empty()) {
    return std::string();
  }
  std::string parameters = "&username=" + username;
  for (size_t i = 0; i < salts.size(); ++i) {
    if (salts[i].usable()) {
      parameters += "&password" + std::to_string(i) + "=" + passwordDigest(password, salts[i]);
    }
  }
  return parameters;
}

std::vector<SPasswordSalt> getSalt(const std::string& username, int* err) {
  *err = 0;
  const std::string reply =
      requestReply("GET SALT#pw=" + readServicePassword() + "&username=" + username, 60000, err);
  if (*err != 0) {
    return {};
  }
  if (reply.empty()) {
    *err = 1;
    return {};
  }
  return parseSaltReply(reply);
}

bool tryLogin(const std::string& username, const std::string& password, std::vector<SPasswordSalt> salts,
              int* err) {
  *err = 0;
  const std::string reply = requestReply(
      "LOGIN FOR DOWNLOAD#pw=" + readServicePassword() + loginParameters(username, password, salts), 60000, err);
  if (*err != 0) {
    return false;
  }
  if (reply.empty()) {
    *err = 1;
    return false;
  }
  return reply == "ok" || reply == "no channels available";
}

std::string generatePasswordHash(const std::string& password, const std::string& salt, size_t iterations) {
  CryptoPP::byte key[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::PKCS5_PBKDF2_HMAC<CryptoPP::SHA256> pbkdf2;
  pbkdf2.DeriveKey(key, sizeof key, 0, reinterpret_cast<const CryptoPP::byte*>(password.data()), password.size(),
                   reinterpret_cast<const CryptoPP::byte*>(salt.data()), salt.size(),
                   static_cast<unsigned int>(iterations));
  std::string hex;
  CryptoPP::HexEncoder encoder(new CryptoPP::StringSink(hex));
  encoder.Put(key, sizeof key);
  encoder.MessageEnd();
  return hex;
}
