// The agent's own token: kept for root alone, reused across starts, and never
// taken from a file that someone else could have read or planted.
#include "control/access_token.h"

#include "common/temp_dir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

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
  EXPECT_EQ(fileContent(file), *first + "\n");
  EXPECT_FALSE(fs::exists(dir.path() / "access-token.new"));

  EXPECT_EQ(loadOrMakeAccessToken(file, error), first);

  fs::remove(file);
  const std::optional<std::string> second = loadOrMakeAccessToken(file, error);
  ASSERT_TRUE(second) << error;
  EXPECT_NE(second, first);
  EXPECT_EQ(fileContent(file), *second + "\n");
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
  EXPECT_EQ(fileContent(planted), known + "\n");

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

// The agent as it runs: its own token as made at start, in a file of its own.
struct RunningToken {
  TempDir dir;
  fs::path file = dir.path() / accessTokenFileName;
  std::string started;
  std::unique_ptr<AccessTokenHolder> holder;

  RunningToken() {
    std::string error;
    started = loadOrMakeAccessToken(file, error).value_or("");
    holder = std::make_unique<AccessTokenHolder>(AccessTokenSetting{started, TokenScope::remotePeers}, file);
  }
};

std::string followQuietly(AccessTokenHolder& holder, bool& changed) {
  ::testing::internal::CaptureStdout();
  changed = holder.followFile();
  return ::testing::internal::GetCapturedStdout();
}

TEST(AccessTokenHolder, ADeletedFileIsMadeAnewAndTheNewTokenIsTheOneInUse) {
  RunningToken agent;
  ASSERT_GE(agent.started.size(), 22u);
  bool changed = true;
  followQuietly(*agent.holder, changed);
  EXPECT_FALSE(changed);
  EXPECT_EQ(agent.holder->current().token, agent.started);

  fs::remove(agent.file);
  const std::string log = followQuietly(*agent.holder, changed);
  EXPECT_TRUE(changed);
  const AccessTokenSetting now = agent.holder->current();
  EXPECT_NE(now.token, agent.started);
  EXPECT_GE(now.token.size(), 22u);
  EXPECT_EQ(now.scope, TokenScope::remotePeers);
  EXPECT_EQ(fileContent(agent.file), now.token + "\n");
  EXPECT_EQ(modeOf(agent.file), 0600u);
  EXPECT_EQ(log.find(agent.started), std::string::npos) << log;
  EXPECT_EQ(log.find(now.token), std::string::npos) << "the console lines show the token, not this line: " << log;
}

TEST(AccessTokenHolder, AnotherUsableTokenWrittenThereIsTaken) {
  RunningToken agent;
  const std::string own = "operators-own-token-0123456789";
  agent.dir.write(accessTokenFileName, own + "\n");
  ::chmod(agent.file.c_str(), 0600);
  bool changed = false;
  followQuietly(*agent.holder, changed);
  EXPECT_TRUE(changed);
  EXPECT_EQ(agent.holder->current().token, own);
  EXPECT_EQ(fileContent(agent.file), own + "\n") << "the operator's file is left as written";
}

TEST(AccessTokenHolder, AFileWithoutAUsableTokenKeepsTheTokenInUseAndIsLoggedOnce) {
  RunningToken agent;
  const std::string known = "known-to-everyone-0123456789";
  bool changed = true;

  // Readable by others, a planted link, text that is no token: each kept
  // out, each said once however often the file is looked at.
  agent.dir.write(accessTokenFileName, known + "\n");
  ::chmod(agent.file.c_str(), 0644);
  std::string log = followQuietly(*agent.holder, changed);
  EXPECT_FALSE(changed);
  EXPECT_NE(log.find(agent.file.string()), std::string::npos) << log;
  EXPECT_EQ(followQuietly(*agent.holder, changed), "");
  EXPECT_EQ(agent.holder->current().token, agent.started);
  EXPECT_EQ(fileContent(agent.file), known + "\n") << "not replaced behind the operator's back";

  fs::remove(agent.file);
  const fs::path planted = agent.dir.write("planted", known + "\n");
  ::chmod(planted.c_str(), 0600);
  fs::create_symlink(planted, agent.file);
  log = followQuietly(*agent.holder, changed);
  EXPECT_FALSE(changed);
  EXPECT_FALSE(log.empty());
  EXPECT_EQ(followQuietly(*agent.holder, changed), "");
  EXPECT_EQ(agent.holder->current().token, agent.started);
  EXPECT_TRUE(fs::is_symlink(agent.file));

  // Once the file holds a usable token again, a later bad one is said anew.
  fs::remove(agent.file);
  agent.dir.write(accessTokenFileName, agent.started + "\n");
  ::chmod(agent.file.c_str(), 0600);
  EXPECT_EQ(followQuietly(*agent.holder, changed), "");
  EXPECT_FALSE(changed);
  ::chmod(agent.file.c_str(), 0640);
  EXPECT_FALSE(followQuietly(*agent.holder, changed).empty());
  EXPECT_EQ(agent.holder->current().token, agent.started);
}

TEST(AccessTokenHolder, AConfiguredTokenAndOpenAccessDoNotFollowTheFile) {
  for (const AccessTokenSetting& setting :
       {AccessTokenSetting{"configured-token", TokenScope::everyPeer}, AccessTokenSetting{"", TokenScope::none}}) {
    TempDir dir;
    const fs::path file = dir.path() / accessTokenFileName;
    AccessTokenHolder holder(setting, file);
    bool changed = true;
    EXPECT_EQ(followQuietly(holder, changed), "");
    EXPECT_FALSE(changed);
    EXPECT_FALSE(fs::exists(file)) << "no token file made for a configured token or open access";
    dir.write(accessTokenFileName, "operators-own-token-0123456789\n");
    ::chmod(file.c_str(), 0600);
    followQuietly(holder, changed);
    EXPECT_FALSE(changed);
    EXPECT_EQ(holder.current().token, setting.token);
    EXPECT_EQ(holder.current().scope, setting.scope);
  }
}

TEST(AccessTokenHolder, AFolderItCannotWriteKeepsTheTokenInUse) {
  TempDir dir;
  const fs::path folder = dir.path() / "gone";
  fs::create_directories(folder);
  AccessTokenHolder holder(AccessTokenSetting{"started-token-0123456789", TokenScope::remotePeers},
                           folder / accessTokenFileName);
  fs::remove(folder);
  bool changed = true;
  const std::string log = followQuietly(holder, changed);
  EXPECT_FALSE(changed);
  EXPECT_NE(log.find("Cannot make a new access token"), std::string::npos) << log;
  EXPECT_EQ(holder.current().token, "started-token-0123456789");
  EXPECT_EQ(followQuietly(holder, changed), "");
}

// Every request reads the token while the console's thread replaces it: each
// read sees one whole token, the old or the new (ThreadSanitizer watches the
// rest).
TEST(AccessTokenHolder, RequestsReadWholeTokensWhileItIsReplaced) {
  RunningToken agent;
  std::set<std::string> made = {agent.started};
  std::atomic<bool> done{false};
  std::vector<std::set<std::string>> seen(3);
  std::vector<std::thread> readers;
  for (auto& tokens : seen) {
    readers.emplace_back([&] {
      while (!done) {
        tokens.insert(agent.holder->current().token);
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    fs::remove(agent.file);
    bool changed = false;
    followQuietly(*agent.holder, changed);
    EXPECT_TRUE(changed);
    made.insert(agent.holder->current().token);
  }
  done = true;
  for (auto& reader : readers) {
    reader.join();
  }
  EXPECT_EQ(made.size(), 21u);
  for (const auto& tokens : seen) {
    for (const std::string& token : tokens) {
      EXPECT_TRUE(made.count(token)) << "a token never in use: " << token;
    }
  }
}

}  // namespace
