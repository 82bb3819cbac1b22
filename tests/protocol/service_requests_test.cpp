#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/listing.h"
#include "protocol/login.h"
#include "protocol/service_fixture.h"

namespace {

using RequestTest = ServiceTest;

TEST_F(RequestTest, SaltRequestAndReply) {
  startReplying("ok;S1;C1;10000/nouser");
  int err = -1;
  const auto salts = getSalt("admin", &err);
  EXPECT_EQ(err, 0);
  ASSERT_EQ(salts.size(), 2u);
  EXPECT_EQ(salts[0].rounds, 10000);
  EXPECT_FALSE(salts[1].usable());
  EXPECT_EQ(service_->requests(), (std::vector<std::string>{"GET SALT#pw=s3rvice&pw&username=admin"}));
}

TEST_F(RequestTest, EmptyReplyAndNoServiceAreTold) {
  int err = -1;
  EXPECT_TRUE(getSalt("admin", &err).empty());
  EXPECT_EQ(err, 10);
  EXPECT_FALSE(tryLogin("", "", {}, &err));
  EXPECT_EQ(err, 10);
  EXPECT_TRUE(getBackupclients(&err).empty());
  EXPECT_EQ(err, 10);
  EXPECT_TRUE(getBackupimages("c", &err).empty());
  EXPECT_EQ(err, 10);

  startReplying("");
  EXPECT_TRUE(getSalt("admin", &err).empty());
  EXPECT_EQ(err, 1);
  EXPECT_FALSE(tryLogin("admin", "x", {}, &err));
  EXPECT_EQ(err, 1);
  EXPECT_TRUE(getBackupclients(&err).empty());
  EXPECT_EQ(err, 1);
  EXPECT_TRUE(getBackupimages("c", &err).empty());
  EXPECT_EQ(err, 1);
}

TEST_F(RequestTest, ServiceThatClosesWithoutAnswerGivesEmptyReply) {
  start([](const std::string&, int) {});
  int err = -1;
  EXPECT_FALSE(tryLogin("admin", "x", {}, &err));
  EXPECT_EQ(err, 1);
}

TEST_F(RequestTest, LoginAnswers) {
  std::string answer;
  start([&answer](const std::string&, int socket) { FakeBackupService::sendFrame(socket, answer); });
  int err = -1;
  for (const std::string accepted : {"ok", "no channels available"}) {
    answer = accepted;
    EXPECT_TRUE(tryLogin("", "", {}, &err)) << accepted;
    EXPECT_EQ(err, 0);
  }
  for (const std::string refused : {"ok ", "wrong password", "OK"}) {
    answer = refused;
    EXPECT_FALSE(tryLogin("", "", {}, &err)) << refused;
    EXPECT_EQ(err, 0);
  }
  EXPECT_EQ(service_->requests().front(), "LOGIN FOR DOWNLOAD#pw=s3rvice&pw");
}

TEST_F(RequestTest, LoginWithSaltsSendsTheDigestParameters) {
  startReplying("ok");
  const auto salts = parseSaltReply("nouser/ok;S;C;5");
  int err = -1;
  EXPECT_TRUE(tryLogin("admin", "pw", salts, &err));
  EXPECT_EQ(service_->requests().front(),
            "LOGIN FOR DOWNLOAD#pw=s3rvice&pw" + loginParameters("admin", "pw", salts));
}

TEST_F(RequestTest, ClientListing) {
  std::string answer = "1|alpha\n|beta\n| alpha ";
  start([&answer](const std::string&, int socket) { FakeBackupService::sendFrame(socket, answer); });
  int err = -1;
  EXPECT_EQ(getBackupclients(&err), (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_EQ(err, 0);
  EXPECT_EQ(service_->requests().front(), "GET BACKUPCLIENTS#pw=s3rvice&pw");
  answer = "0";
  EXPECT_TRUE(getBackupclients(&err).empty());
  EXPECT_EQ(err, 2);
}

TEST_F(RequestTest, ImageListing) {
  std::string answer = "1\n5|200|2017-07-14 02:40|C\n#|6|200|2017-07-14 02:41";
  start([&answer](const std::string&, int socket) { FakeBackupService::sendFrame(socket, answer); });
  int err = -1;
  const auto images = getBackupimages("my pc", &err);
  EXPECT_EQ(err, 0);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].letter, "C");
  EXPECT_EQ(images[0].associated.size(), 1u);
  EXPECT_EQ(service_->requests().front(), "GET BACKUPIMAGES my pc#pw=s3rvice&pw");
  answer = "0 no such client";
  EXPECT_TRUE(getBackupimages("x", &err).empty());
  EXPECT_EQ(err, 1);
}

}  // namespace
