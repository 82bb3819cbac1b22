#include "protocol/login.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

// Expected digests come from Python's hashlib, never from the code under test.
std::string python(const std::string& expression) {
  const std::string command = "python3 -c 'import hashlib,sys; sys.stdout.write(" + expression + ")'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::string();
  std::string out;
  char buffer[256];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

std::string md5hex(const std::string& pyBytes) { return "hashlib.md5(" + pyBytes + ").hexdigest()"; }

TEST(SaltReplyTest, EntriesKeepTheirPositions) {
  const auto salts = parseSaltReply("ok;S1;C1;10000/nouser/ok;S2;C2/ok;only");
  ASSERT_EQ(salts.size(), 4u);
  EXPECT_EQ(salts[0].salt, "S1");
  EXPECT_EQ(salts[0].challenge, "C1");
  EXPECT_EQ(salts[0].rounds, 10000);
  EXPECT_FALSE(salts[1].usable());
  EXPECT_EQ(salts[2].salt, "S2");
  EXPECT_EQ(salts[2].rounds, 0);
  EXPECT_FALSE(salts[3].usable());  // two parts: neither salt nor challenge
  EXPECT_TRUE(parseSaltReply("").empty());
}

TEST(SaltReplyTest, AHostileServiceCannotMakeTheLoginHashForHours) {
  const auto start = std::chrono::steady_clock::now();
  for (const char* rounds : {"2147483647", "10000001", "99999999999999999999", "4294967297"}) {
    const auto salts = parseSaltReply(std::string("ok;S;C;") + rounds + "/ok;S2;C2");
    ASSERT_EQ(salts.size(), 2u) << rounds;
    EXPECT_FALSE(salts[0].usable()) << rounds;
    EXPECT_TRUE(salts[1].usable());
    EXPECT_EQ(loginParameters("admin", "pw", salts).find("&password0="), std::string::npos) << rounds;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(parseSaltReply("ok;S;C;10000000").front().usable());

  std::string sixteen = "ok;S;C";
  for (int i = 1; i < 16; ++i) {
    sixteen += "/ok;S;C";
  }
  EXPECT_EQ(parseSaltReply(sixteen).size(), 16u);
  EXPECT_TRUE(parseSaltReply(sixteen + "/ok;S;C").empty());
}

TEST(LoginDigestTest, SaltWithoutRoundsIsTwoMd5Steps) {
  const std::string expected = python(md5hex("b\"C\" + " + md5hex("b\"Ssecret\"") + ".encode()"));
  ASSERT_EQ(expected.size(), 32u);
  EXPECT_EQ(loginParameters("admin", "secret", parseSaltReply("ok;S;C")),
            "&username=admin&password0=" + expected);
}

TEST(LoginDigestTest, RoundsAddPbkdf2OverTheRawMd5) {
  const std::string inner =
      "hashlib.pbkdf2_hmac(\"sha256\", hashlib.md5(b\"saltypw\").digest(), b\"salty\", 1000).hex()";
  const std::string expected = python(md5hex("b\"chal\" + " + inner + ".encode()"));
  ASSERT_EQ(expected.size(), 32u);
  EXPECT_EQ(loginParameters("admin", "pw", parseSaltReply("ok;salty;chal;1000")),
            "&username=admin&password0=" + expected);
}

TEST(LoginDigestTest, PlaceholderKeepsItsIndexAndEmptyUserSendsNothing) {
  const std::string expected = python(md5hex("b\"C\" + " + md5hex("b\"Sx\"") + ".encode()"));
  EXPECT_EQ(loginParameters("admin", "x", parseSaltReply("nouser/ok;S;C")),
            "&username=admin&password1=" + expected);
  EXPECT_EQ(loginParameters("", "x", parseSaltReply("ok;S;C")), "");
  EXPECT_EQ(loginParameters("admin", "x", {}), "&username=admin");
}

TEST(LoginDigestTest, PasswordIsDigestedUpToItsFirstZeroByte) {
  const std::string cut = loginParameters("admin", std::string("ab\0cd", 5), parseSaltReply("ok;S;C"));
  EXPECT_EQ(cut, loginParameters("admin", "ab", parseSaltReply("ok;S;C")));
}

TEST(PasswordHashTest, MatchesPbkdf2HmacSha256InUpperCaseHex) {
  std::string expected = python("hashlib.pbkdf2_hmac(\"sha256\", b\"password\", b\"salt\", 4096).hex().upper()");
  ASSERT_EQ(expected.size(), 64u);
  EXPECT_EQ(generatePasswordHash("password", "salt", 4096), expected);

  // Raw bytes with zeros are used whole.
  expected = python("hashlib.pbkdf2_hmac(\"sha256\", b\"a\\x00b\", b\"s\\x00t\", 3).hex().upper()");
  EXPECT_EQ(generatePasswordHash(std::string("a\0b", 3), std::string("s\0t", 3), 3), expected);
}

}  // namespace
