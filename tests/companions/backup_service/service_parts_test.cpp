// The backup service's pieces that need no process: request parsing, the
// login arithmetic (checked against the agent's own client code), challenge
// bookkeeping, download progress and the fault budget of the stream sender.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "common/temp_dir.h"
#include "credentials.h"
#include "download_progress.h"
#include "protocol/login.h"
#include "requests.h"
#include "stream_sender.h"

TEST(BackupServiceRequest, SplitsCommandPasswordAndParameters) {
  const auto request = parseRequest("DOWNLOAD IMAGE#pw=s3cret&img_id=5&time=200&mbr=false", "s3cret");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->command, "DOWNLOAD IMAGE");
  EXPECT_TRUE(request->password_ok);
  EXPECT_EQ(request->params.at("img_id"), "5");
  EXPECT_EQ(request->params.at("time"), "200");
  EXPECT_EQ(request->params.at("mbr"), "false");

  const auto listing = parseRequest("GET BACKUPIMAGES my client#pw=s3cret", "s3cret");
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->command, "GET BACKUPIMAGES my client");
  EXPECT_TRUE(listing->params.empty());
}

TEST(BackupServiceRequest, MatchesThePasswordAsAWholePrefix) {
  // Values are not escaped, so a password holding "&" must still match.
  const auto with_ampersand = parseRequest("GET SALT#pw=a&b=c&username=admin", "a&b=c");
  ASSERT_TRUE(with_ampersand);
  EXPECT_TRUE(with_ampersand->password_ok);
  EXPECT_EQ(with_ampersand->params.at("username"), "admin");
  EXPECT_EQ(with_ampersand->params.count("b"), 0u);

  EXPECT_FALSE(parseRequest("GET SALT#pw=secretX&username=admin", "secret")->password_ok);
  EXPECT_FALSE(parseRequest("GET SALT#pw=secre", "secret")->password_ok);
  EXPECT_TRUE(parseRequest("GET BACKUPCLIENTS#pw=", "")->password_ok);
  EXPECT_FALSE(parseRequest("GET BACKUPCLIENTS", "").has_value());
}

TEST(BackupServiceCredentials, AcceptsExactlyWhatTheAgentSends) {
  for (const int rounds : {0, 1000}) {
    SCOPED_TRACE("rounds " + std::to_string(rounds));
    const std::string salt = "5a1t";
    const std::string challenge = "c4a11";
    const std::string digest = passwordDigest("pa55word", salt, rounds);
    const std::string expected = "&username=admin&password0=" + challengeResponse(challenge, digest);
    EXPECT_EQ(loginParameters("admin", "pa55word", {{salt, challenge, rounds}}), expected);
    EXPECT_NE(loginParameters("admin", "pa55worD", {{salt, challenge, rounds}}), expected);
  }
  EXPECT_EQ(hexMd5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(passwordDigest("pw", "s", 0), hexMd5("spw"));
  EXPECT_NE(passwordDigest("pw", "s", 1), passwordDigest("pw", "s", 2));
}

TEST(BackupServiceCredentials, ChallengesAreSingleUseAndPerUser) {
  ChallengeBook book;
  const StoreUser admin{"admin", "salt", 0, passwordDigest("pw", "salt", 0)};
  const StoreUser other{"other", "salt", 0, passwordDigest("pw", "salt", 0)};
  const std::string first = book.issue("admin");
  const std::string second = book.issue("admin");
  EXPECT_NE(first, second);

  EXPECT_FALSE(book.redeem(other, challengeResponse(first, other.digest)));
  EXPECT_FALSE(book.redeem(admin, challengeResponse(first, passwordDigest("wrong", "salt", 0))));
  EXPECT_TRUE(book.redeem(admin, challengeResponse(first, admin.digest)));
  EXPECT_FALSE(book.redeem(admin, challengeResponse(first, admin.digest))) << "a replayed login must fail";
  EXPECT_TRUE(book.redeem(admin, challengeResponse(second, admin.digest)));
}

TEST(BackupServiceCredentials, KeepsOnlyTheNewestChallengesOfAUser) {
  ChallengeBook book;
  const StoreUser admin{"admin", "salt", 0, passwordDigest("pw", "salt", 0)};
  const std::string oldest = book.issue("admin");
  std::string newest;
  for (size_t i = 0; i < ChallengeBook::kPerUser; ++i) {
    newest = book.issue("admin");
  }
  EXPECT_FALSE(book.redeem(admin, challengeResponse(oldest, admin.digest)));
  EXPECT_TRUE(book.redeem(admin, challengeResponse(newest, admin.digest)));
}

TEST(BackupServiceProgress, ReportsTheLatestRunningDownload) {
  DownloadProgress progress;
  EXPECT_EQ(progress.percentText(), "-1");
  {
    auto first = progress.start(200);
    first.update(50);
    EXPECT_EQ(progress.percentText(), "25");
    {
      auto second = progress.start(3);
      second.update(2);
      EXPECT_EQ(progress.percentText(), "66");
      second.update(3);
      EXPECT_EQ(progress.percentText(), "100");
    }
    EXPECT_EQ(progress.percentText(), "25");
  }
  EXPECT_EQ(progress.percentText(), "-1");
  auto empty = progress.start(0);
  EXPECT_EQ(progress.percentText(), "100");
}

namespace {

struct SocketPair {
  int ends[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
  ~SocketPair() {
    for (int fd : ends) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }
  std::string drain() {
    shutdown(ends[0], SHUT_WR);
    std::string all;
    char buffer[4096];
    ssize_t got;
    while ((got = read(ends[1], buffer, sizeof buffer)) > 0) {
      all.append(buffer, static_cast<size_t>(got));
    }
    return all;
  }
};

}  // namespace

TEST(BackupServiceSender, StopsExactlyAtTheCloseBudget) {
  SocketPair pair;
  TempDir dir;
  const auto file = dir.write("blocks", std::string(100, 'f'));
  const int fd = open(file.c_str(), O_RDONLY);
  StreamSender sender(pair.ends[0]);
  sender.setBudget(10, StreamSender::Exhausted::Close);
  EXPECT_TRUE(sender.send("abcd", 4));
  EXPECT_FALSE(sender.sendFile(fd, 0, 100));
  EXPECT_FALSE(sender.send("xy", 2)) << "nothing goes out once the budget is spent";
  EXPECT_EQ(sender.sent(), 10);
  close(fd);
  EXPECT_EQ(pair.drain(), "abcdffffff");
}

TEST(BackupServiceSender, StallHoldsTheConnectionUntilThePeerLeaves) {
  SocketPair pair;
  StreamSender sender(pair.ends[0]);
  sender.setBudget(3, StreamSender::Exhausted::Stall);
  std::atomic<bool> returned{false};
  std::thread sending([&] {
    sender.send("abcdef", 6);
    returned = true;
  });
  char got[8] = {};
  ASSERT_EQ(read(pair.ends[1], got, sizeof got), 3);
  EXPECT_EQ(std::string(got, 3), "abc");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(returned) << "a stalled stream must not end by itself";
  close(pair.ends[1]);
  pair.ends[1] = -1;
  sending.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(sender.sent(), 3);
}
