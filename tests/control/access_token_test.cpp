// The agent's own token: kept for root alone, reused across starts, and never
// taken from a file that someone else could have read or planted.
#include "control/access_token.h"

#include "common/temp_dir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string contentOf(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

TEST(AccessToken, FreshTokensAreLongUrlSafeAndDifferent) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::optional<std::string> token = makeAccessToken();
    ASSERT_TRUE(token);
    EXPECT_GE(token->size() * 6, 128u);
    EXPECT_EQ(token->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos)
        << *token;
    seen.insert(*token);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(AccessToken, KeptWithOwnerOnlyModeReusedAndRemadeWhenDeleted) {
  TempDir dir;
  const fs::path file = dir.path() / accessTokenFileName;
  std::string error;
  const std::optional<std::string> first = loadOrMakeAccessToken(file, error);
  ASSERT_TRUE(first) << error;
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(contentOf(file), *first + "\n");
  EXPECT_FALSE(fs::exists(dir.path() / "access-token.new"));

  EXPECT_EQ(loadOrMakeAccessToken(file, error), first);

  fs::remove(file);
  const std::optional<std::string> second = loadOrMakeAccessToken(file, error);
  ASSERT_TRUE(second) << error;
  EXPECT_NE(second, first);
  EXPECT_EQ(contentOf(file), *second + "\n");
}

TEST(AccessToken, AFileOthersCouldReadOrAPlantedLinkIsReplaced) {
  TempDir dir;
  const fs::path file = dir.path() / accessTokenFileName;
  std::string error;

  const std::string known = "known-to-everyone-0123456789";
  dir.write(accessTokenFileName, known + "\n");
  ::chmod(file.c_str(), 0644);
  std::optional<std::string> token = loadOrMakeAccessToken(file, error);
  ASSERT_TRUE(token) << error;
  EXPECT_NE(*token, known);
  EXPECT_EQ(modeOf(file), 0600u);

  // A link to a file the attacker chose: neither read nor written through.
  fs::remove(file);
  const fs::path planted = dir.write("planted", known + "\n");
  ::chmod(planted.c_str(), 0600);
  fs::create_symlink(planted, file);
  token = loadOrMakeAccessToken(file, error);
  ASSERT_TRUE(token) << error;
  EXPECT_NE(*token, known);
  EXPECT_FALSE(fs::is_symlink(file));
  EXPECT_EQ(contentOf(planted), known + "\n");

  // Too short to be a secret, or not text of the token's alphabet.
  for (const std::string bad : {"short", "has spaces in it, 0123456789abcdef", ""}) {
    dir.write(accessTokenFileName, bad);
    ::chmod(file.c_str(), 0600);
    token = loadOrMakeAccessToken(file, error);
    ASSERT_TRUE(token) << error;
    EXPECT_NE(*token, bad);
    EXPECT_GE(token->size(), 22u);
  }
}

TEST(AccessToken, AFolderItCannotWriteIsAFailureNotAnOpenEndpoint) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(loadOrMakeAccessToken(dir.path() / "missing" / accessTokenFileName, error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
