#include "common/tls_certificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

template <class Write>
bool writePem(const std::filesystem::path& path, Write write) {
  FILE* out = std::fopen(path.c_str(), "w");
  if (!out) {
    return false;
  }
  const bool written = write(out) == 1;
  return std::fclose(out) == 0 && written;
}

}  // namespace

TestCertificate makeTestCertificate(const std::filesystem::path& folder, const std::string& name) {
  TestCertificate pair{folder / (name + ".crt"), folder / (name + ".key")};
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  const std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
  if (!key || !certificate) {
    throw std::runtime_error("cannot make a key");
  }
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
  X509_set_pubkey(certificate.get(), key.get());
  X509_NAME* subject = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(certificate.get(), subject);
  if (X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0) {
    throw std::runtime_error("cannot sign the certificate");
  }
  if (!writePem(pair.certificate, [&](FILE* out) { return PEM_write_X509(out, certificate.get()); }) ||
      !writePem(pair.key, [&](FILE* out) {
        return PEM_write_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
      })) {
    throw std::runtime_error("cannot write " + pair.certificate.string() + " or " + pair.key.string());
  }
  return pair;
}
