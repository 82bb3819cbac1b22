#pragma once
// MD5 (RFC 1321) through OpenSSL's EVP interface.
#include <string>

// The 16 raw digest bytes of `data` (all of its bytes, zeros included).
std::string md5Raw(const std::string& data);
// The digest as 32 lower-case hexadecimal characters.
std::string md5Hex(const std::string& data);
