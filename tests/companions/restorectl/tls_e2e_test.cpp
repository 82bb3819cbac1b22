// restorectl as a process against the real agent serving TLS with a throwaway
// self-signed certificate made out to "localhost": it gets through only when
// told to trust that very certificate and when the address it dials is the
// one the certificate names; every refusal ends it with the no-connection
// status and a reason, never a hang.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/agent_process.h"
#include "common/temp_dir.h"
#include "common/tls_certificate.h"
#include "rig/rig_fixture.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr int kNoConnection = 3;

class RestorectlOverTls : public ::testing::Test {
protected:
  void SetUp() override {
    work_.write("ui/index.html", "<!doctype html><title>agent page</title>");
    const fs::path script =
        work_.write("get_ip.sh", "#!/bin/sh\necho '{\"interface\": \"eth0\", \"ip\": \"192.0.2.10\"}'\n");
    fs::permissions(script, fs::perms::owner_all);
    certificate_ = makeTestCertificate(work_.path(), "localhost");
    tokenFile_ = work_.write("token", token_ + "\n");
    AgentOptions options;
    options.workingDirectory = work_.path();
    options.environment = {{"RESTORE_AGENT_TOKEN", token_},
                           {"RESTORE_AGENT_TLS_CERT", certificate_.certificate.string()},
                           {"RESTORE_AGENT_TLS_KEY", certificate_.key.string()}};
    agent_ = std::make_unique<AgentProcess>(options);
  }

  RigRun restorectl(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{RESTORECTL_BINARY, "--timeout", "20", "--token-file", tokenFile_.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv);
  }

  TempDir work_;
  const std::string token_ = "tls-test-token";
  TestCertificate certificate_;
  fs::path tokenFile_;
  std::unique_ptr<AgentProcess> agent_;
};

TEST_F(RestorectlOverTls, TrustingTheAgentsCertificateByNameGetsThrough) {
  const RigRun network = restorectl(
      {"--url", "wss://localhost:12209/backend", "--ca-file", certificate_.certificate.string(), "network"});
  EXPECT_EQ(network.status, 0) << network.output << agent_->log();
  // The agent's answer came back over the secured connection.
  EXPECT_THAT(network.output, HasSubstr("192.0.2.10"));
}

TEST_F(RestorectlOverTls, UntrustedWrongNameOrPlainConnectionsAreRefused) {
  const TestCertificate impostor = makeTestCertificate(work_.path() / "ui", "localhost");
  const struct {
    const char* what;
    std::vector<std::string> arguments;
    const char* reason;
  } cases[] = {
      {"no --ca-file: the system does not trust a self-signed certificate",
       {"--url", "wss://localhost:12209/backend"}, "not trusted"},
      {"another certificate with the same name", {"--url", "wss://localhost:12209/backend", "--ca-file",
                                                   impostor.certificate.string()}, "not trusted"},
      {"an address the certificate does not name",
       {"--url", "wss://127.0.0.1:12209/backend", "--ca-file", certificate_.certificate.string()},
       "not made out to 127.0.0.1"},
      {"plain ws:// to the TLS port", {"--url", "ws://localhost:12209/backend"}, "wss://"},
  };
  for (const auto& attempt : cases) {
    std::vector<std::string> arguments = attempt.arguments;
    arguments.push_back("network");
    const RigRun run = restorectl(arguments);
    EXPECT_EQ(run.status, kNoConnection) << attempt.what << "\n" << run.output;
    EXPECT_THAT(run.output, HasSubstr(attempt.reason)) << attempt.what;
    EXPECT_THAT(run.output, ::testing::Not(HasSubstr("192.0.2.10"))) << attempt.what;
    // The reason names the address but keeps the access token to itself.
    EXPECT_THAT(run.output, ::testing::Not(HasSubstr(token_))) << attempt.what;
  }
  EXPECT_TRUE(agent_->running());
}

}  // namespace
