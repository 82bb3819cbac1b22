// Secrets reach restorectl from files or standard input, not its command
// line; root on the agent's machine needs to give none.
#include "secrets.h"

#include "common/temp_dir.h"
#include "options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace restorectl {
namespace {

TEST(Secrets, OptionsNameFilesOrStandardInputButOnlyOneSourceEach) {
  std::string error;
  auto options = parseCommandLine({"--token-file", "/run/t", "--password-file", "-", "network"}, error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->tokenFile, "/run/t");
  EXPECT_EQ(options->passwordFile, "-");

  EXPECT_FALSE(parseCommandLine({"--token-file", "f", "--token", "t", "network"}, error));
  EXPECT_FALSE(parseCommandLine({"--token-file", "-", "--password-file", "-", "network"}, error));
}

TEST(Secrets, TheFirstLineOfAFileOrOfStandardInput) {
  TempDir dir;
  const fs::path file = dir.write("token", "abc-123\r\nsecond line\n");
  std::istringstream unused;
  std::string error;
  EXPECT_EQ(readSecretLine(file.string(), unused, error), "abc-123");

  std::istringstream input("from-stdin\n");
  EXPECT_EQ(readSecretLine("-", input, error), "from-stdin");

  std::istringstream empty;
  EXPECT_FALSE(readSecretLine("-", empty, error));
  EXPECT_FALSE(readSecretLine((dir.path() / "missing").string(), unused, error));
  EXPECT_NE(error.find("missing"), std::string::npos);
}

TEST(Secrets, TheTokenOfTheAgentRunningHereIsFoundThroughItsProcess) {
  TempDir dir;
  const fs::path proc = dir.path() / "proc";
  dir.write("agent-work/access-token", "token-of-the-agent\n");
  dir.write("other-work/access-token", "token-of-something-else\n");
  fs::create_directories(proc / "17");
  fs::create_symlink("/usr/bin/bash", proc / "17" / "exe");
  fs::create_symlink(dir.path() / "other-work", proc / "17" / "cwd");
  fs::create_directories(proc / "self");
  fs::create_directories(proc / "4242");
  fs::create_symlink("/opt/agent/restore-agent", proc / "4242" / "exe");
  fs::create_symlink(dir.path() / "agent-work", proc / "4242" / "cwd");

  EXPECT_EQ(localAgentToken(proc), "token-of-the-agent");
  fs::remove(dir.path() / "agent-work" / "access-token");
  EXPECT_EQ(localAgentToken(proc), std::nullopt);
}

}  // namespace
}  // namespace restorectl
