#include "protocol/md5.h"

#include <openssl/evp.h>

#include <memory>

std::string md5Raw(const std::string& data) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  // Failure here means the crypto library itself is unusable (out of memory):
  // nothing a caller could recover from, and an empty digest never matches.
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, &size) != 1) {
    return std::string();
  }
  return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string md5Hex(const std::string& data) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const char byte : md5Raw(data)) {
    const auto value = static_cast<unsigned char>(byte);
    hex += digits[value >> 4];
    hex += digits[value & 0x0F];
  }
  return hex;
}
