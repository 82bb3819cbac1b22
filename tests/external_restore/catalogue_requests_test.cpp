#include "external_restore/catalogue_requests.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "common/temp_dir.h"
#include "control/queues.h"

namespace {

using std::chrono_literals::operator""ms;

class CatalogueRequests : public ::testing::Test {
protected:
  void SetUp() override { resp_queue.clear(); }
  void TearDown() override { resp_queue.clear(); }

  // The one reply the request produced.
  std::string replyText() {
    auto text = resp_queue.takeFor(1000ms);
    EXPECT_TRUE(text.has_value()) << "no reply";
    EXPECT_TRUE(resp_queue.empty()) << "more than one reply";
    return text.value_or("");
  }

  Json::Value reply() {
    Json::Value value;
    Json::Reader reader;
    const std::string text = replyText();
    EXPECT_TRUE(reader.parse(text, value)) << text;
    return value;
  }

  static std::string request(const std::string& op, const std::string& args) {
    return R"({"op": ")" + op + R"(", "args": )" + args + "}";
  }

  static std::string quoted(const std::filesystem::path& path) { return "\"" + path.string() + "\""; }

  TempDir dir;
};

TEST_F(CatalogueRequests, SubFoldersAreNamedNotPathed) {
  std::filesystem::create_directories(dir.path() / "B/pc1");
  std::filesystem::create_directories(dir.path() / "B/.trash");
  dir.write("B/readme.txt", "x");
  answerSubFolders(request("-u", "[" + quoted(dir.path() / "B") + "]"));
  const Json::Value value = reply();
  EXPECT_EQ(value["op"].asString(), "-u");
  ASSERT_TRUE(value["Result"].isArray());
  ASSERT_EQ(value["Result"].size(), 1u);
  EXPECT_EQ(value["Result"][0].asString(), "pc1");
}

TEST_F(CatalogueRequests, SubFoldersOfNothingAreAnEmptyResult) {
  for (const std::string& args : {std::string("[]"), std::string("\"") + dir.path().string() + "\"",
                                  std::string("[42]"), std::string("{\"a\": 1}"),
                                  "[" + quoted(dir.path() / "missing") + "]"}) {
    answerSubFolders(request("-u", args));
    const Json::Value value = reply();
    EXPECT_EQ(value["op"].asString(), "-u") << args;
    EXPECT_TRUE(value["Result"].isArray()) << args;
    EXPECT_EQ(value["Result"].size(), 0u) << args;
  }
  answerSubFolders(R"({"op": "-u"})");
  EXPECT_EQ(reply()["Result"].size(), 0u);
}

TEST_F(CatalogueRequests, UnparsableSubFolderAndEspRequestsGetTheFixedErrorText) {
  answerSubFolders(R"({"op": "-u", "args": [)");
  EXPECT_EQ(replyText(), R"({"error":"invalid json"})");
  answerEspCheck("-c please");
  EXPECT_EQ(replyText(), R"({"error":"invalid json"})");
}

TEST_F(CatalogueRequests, BackupPointsCarryLetterDateAndPath) {
  const auto image = dir.write("B/170315-1030_Image_C/170315-1030_Image_C_disk0.vhd", "x");
  dir.write("B/170315-1030_Image_SYSVOL/170315-1030_Image_SYSVOL_disk0.vhd", "x");
  answerBackupPoints(request("-e", "[" + quoted(dir.path() / "B") + ", \"ignored\"]"));
  const Json::Value value = reply();
  EXPECT_EQ(value["op"].asString(), "-e");
  ASSERT_EQ(value["Result"].size(), 1u);
  EXPECT_EQ(value["Result"][0]["letter"].asString(), "C:");
  EXPECT_EQ(value["Result"][0]["backupdate"].asString(), "2017-03-15 10:30");
  EXPECT_EQ(value["Result"][0]["path"].asString(), image.string());
}

TEST_F(CatalogueRequests, BackupPointsOfBadRequestsAreAnEmptyResult) {
  dir.write("B/170315-1030_Image_C/x.vhd", "x");
  for (const std::string& text :
       {request("-e", "[]"), request("-e", "[" + quoted(dir.path() / "missing") + "]"),
        request("-e", quoted(dir.path() / "B")), request("-e", "[[\"nested\"]]"),
        std::string(R"({"op": "-e"})"), std::string(R"({"op": "-e", "args": [)")}) {
    answerBackupPoints(text);
    const Json::Value value = reply();
    EXPECT_EQ(value["op"].asString(), "-e") << text;
    EXPECT_TRUE(value["Result"].isArray()) << text;
    EXPECT_EQ(value["Result"].size(), 0u) << text;
  }
}

TEST_F(CatalogueRequests, EspCheckAnswersPresentAbsentOrEmpty) {
  const auto image = dir.write("B/170315-1030_Image_C/170315-1030_Image_C_disk0.vhd", "x");
  answerEspCheck(request("-c", quoted(image)));
  EXPECT_EQ(reply()["Result"].asString(), "ESPVOL-Absent");

  std::filesystem::create_directories(dir.path() / "B/170315-1030_Image_ESP");
  answerEspCheck(request("-c", quoted(image)));
  const Json::Value value = reply();
  EXPECT_EQ(value["op"].asString(), "-c");
  EXPECT_EQ(value["Result"].asString(), "ESPVOL-Present");

  // Outside an Image_C folder, or with "args" of another type.
  answerEspCheck(request("-c", quoted(dir.path() / "B/x.vhd")));
  EXPECT_EQ(reply()["Result"].asString(), "");
  answerEspCheck(request("-c", "[" + quoted(image) + "]"));
  EXPECT_EQ(reply()["Result"].asString(), "");
}

TEST_F(CatalogueRequests, ReplyEchoesTheRequestOpOrFallsBackToTheKind) {
  answerSubFolders(R"({"op": "x-u", "args": []})");
  EXPECT_EQ(reply()["op"].asString(), "x-u");
  answerSubFolders(R"({"op": ["-u"], "args": []})");
  EXPECT_EQ(reply()["op"].asString(), "-u");
  answerEspCheck(R"({"op": 7, "args": "-c"})");
  EXPECT_EQ(reply()["op"].asString(), "-c");
}

}  // namespace
