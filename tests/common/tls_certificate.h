#pragma once
// A throwaway certificate for tests of the endpoint over TLS.
#include <filesystem>
#include <string>

struct TestCertificate {
  std::filesystem::path certificate;  // PEM, self-signed
  std::filesystem::path key;          // PEM
};

// A fresh P-256 key and a self-signed certificate for it, valid for an hour,
// written to `folder`/`name`.crt and .key. Throws std::runtime_error when
// OpenSSL or the files fail.
TestCertificate makeTestCertificate(const std::filesystem::path& folder, const std::string& name);
