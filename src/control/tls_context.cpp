#include "control/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "support/system_error.h"

namespace ssl = boost::asio::ssl;

namespace {

// OpenSSL's own words for a missing file are "system lib"; the path and the
// system's reason say more.
bool readable(const std::filesystem::path& path, const std::string& what, std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = systemError("cannot read the TLS " + what + " " + path.string());
    return false;
  }
  return true;
}

std::string describe(const boost::system::error_code& ec) {
  ::ERR_clear_error();
  return ec.message();
}

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

TlsContext::TlsContext() : context_(ssl::context::tls_server) {
  context_.set_options(ssl::context::no_compression | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  ::SSL_CTX_set_min_proto_version(context_.native_handle(), TLS1_2_VERSION);
  // For TLS 1.2 only forward-secret AEAD suites; TLS 1.3 has nothing else.
  ::SSL_CTX_set_cipher_list(context_.native_handle(), "ECDHE+AESGCM:ECDHE+CHACHA20");
}

std::shared_ptr<TlsContext> TlsContext::load(const TlsFiles& files, std::string& error) {
  if (!readable(files.certificate, "certificate", error) || !readable(files.key, "key", error)) {
    return nullptr;
  }
  std::shared_ptr<TlsContext> tls(new TlsContext());
  boost::system::error_code ec;
  tls->context_.use_certificate_chain_file(files.certificate.string(), ec);
  if (ec) {
    error = "cannot use the TLS certificate " + files.certificate.string() + " (a PEM certificate chain): " +
            describe(ec);
    return nullptr;
  }
  tls->context_.use_private_key_file(files.key.string(), ssl::context::pem, ec);
  if (ec) {
    error = "cannot use the TLS key " + files.key.string() + " (the PEM private key of the certificate " +
            files.certificate.string() + "): " + describe(ec);
    return nullptr;
  }
  if (::SSL_CTX_check_private_key(tls->context_.native_handle()) != 1) {
    ::ERR_clear_error();
    error = "the TLS key " + files.key.string() + " does not belong to the certificate " +
            files.certificate.string();
    return nullptr;
  }
  return tls;
}

bool tlsFromEnvironment(std::shared_ptr<TlsContext>& tls, std::string& error) {
  tls.reset();
  const std::string certificate = variable("RESTORE_AGENT_TLS_CERT");
  const std::string key = variable("RESTORE_AGENT_TLS_KEY");
  if (certificate.empty() && key.empty()) {
    return true;
  }
  if (certificate.empty() || key.empty()) {
    error = std::string("TLS needs both RESTORE_AGENT_TLS_CERT and RESTORE_AGENT_TLS_KEY; only ") +
            (certificate.empty() ? "RESTORE_AGENT_TLS_KEY" : "RESTORE_AGENT_TLS_CERT") + " is set";
    return false;
  }
  tls = TlsContext::load({certificate, key}, error);
  return tls != nullptr;
}
