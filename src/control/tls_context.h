#pragma once
// The endpoint's certificate and key, when it is to speak TLS: loaded and
// checked once at start, with the protocol settings every connection shares.
// A half or broken setting is an error, never a quiet fall back to plain
// HTTP, which would send the access token in the clear.
#include <boost/asio/ssl/context.hpp>

#include <filesystem>
#include <memory>
#include <string>

struct TlsFiles {
  std::filesystem::path certificate;  // PEM, the chain after the endpoint's own
  std::filesystem::path key;          // PEM
};

class TlsContext {
public:
  // The certificate chain and its private key, with TLS 1.2 at least, no
  // compression and no renegotiation. Nothing, and the cause in `error`, when
  // a file cannot be read, is no PEM of its kind, or the key does not belong
  // to the certificate.
  static std::shared_ptr<TlsContext> load(const TlsFiles& files, std::string& error);

  boost::asio::ssl::context& context() { return context_; }

private:
  TlsContext();

  boost::asio::ssl::context context_;
};

// From RESTORE_AGENT_TLS_CERT and RESTORE_AGENT_TLS_KEY. True with `tls`
// left empty when neither is set (plain HTTP); true with `tls` loaded when
// both are; false, with the cause in `error`, when only one is set or loading
// fails.
bool tlsFromEnvironment(std::shared_ptr<TlsContext>& tls, std::string& error);
