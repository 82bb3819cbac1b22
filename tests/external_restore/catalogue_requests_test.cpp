#include "external_restore/catalogue_requests.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "common/temp_dir.h"
#include "control/queues.h"
#include "external_restore/backup_folders.h"

namespace {

using std::chrono_literals::operator""ms;

class CatalogueRequests : public ::testing::Test {
protected:
  void SetUp() override {
    resp_queue.clear();
    folders.add(dir.path().string());
  }
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
  // As if "-m" had found the backup folder at dir.
  BackupFolders folders;
};

TEST_F(CatalogueRequests, SubFoldersAreNamedNotPathed) {
  std::filesystem::create_directories(dir.path() / "B/pc1");
  std::filesystem::create_directories(dir.path() / "B/.trash");
  dir.write("B/readme.txt", "x");
  answerSubFolders(request("-u", "[" + quoted(dir.path() / "B") + "]"), folders);
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
    answerSubFolders(request("-u", args), folders);
    const Json::Value value = reply();
    EXPECT_EQ(value["op"].asString(), "-u") << args;
    EXPECT_TRUE(value["Result"].isArray()) << args;
    EXPECT_EQ(value["Result"].size(), 0u) << args;
  }
  answerSubFolders(R"({"op": "-u"})", folders);
  EXPECT_EQ(reply()["Result"].size(), 0u);
}

TEST_F(CatalogueRequests, UnparsableSubFolderAndEspRequestsGetTheFixedErrorText) {
  answerSubFolders(R"({"op": "-u", "args": [)", folders);
  EXPECT_EQ(replyText(), R"({"error":"invalid json"})");
  answerEspCheck("-c please", folders);
  EXPECT_EQ(replyText(), R"({"error":"invalid json"})");
}

TEST_F(CatalogueRequests, BackupPointsCarryLetterDateAndPath) {
  const auto image = dir.write("B/170315-1030_Image_C/170315-1030_Image_C_disk0.vhd", "x");
  dir.write("B/170315-1030_Image_SYSVOL/170315-1030_Image_SYSVOL_disk0.vhd", "x");
  answerBackupPoints(request("-e", "[" + quoted(dir.path() / "B") + ", \"ignored\"]"), folders);
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
    answerBackupPoints(text, folders);
    const Json::Value value = reply();
    EXPECT_EQ(value["op"].asString(), "-e") << text;
    EXPECT_TRUE(value["Result"].isArray()) << text;
    EXPECT_EQ(value["Result"].size(), 0u) << text;
  }
}

TEST_F(CatalogueRequests, EspCheckAnswersPresentAbsentOrEmpty) {
  const auto image = dir.write("B/170315-1030_Image_C/170315-1030_Image_C_disk0.vhd", "x");
  answerEspCheck(request("-c", quoted(image)), folders);
  EXPECT_EQ(reply()["Result"].asString(), "ESPVOL-Absent");

  std::filesystem::create_directories(dir.path() / "B/170315-1030_Image_ESP");
  answerEspCheck(request("-c", quoted(image)), folders);
  const Json::Value value = reply();
  EXPECT_EQ(value["op"].asString(), "-c");
  EXPECT_EQ(value["Result"].asString(), "ESPVOL-Present");

  // Outside an Image_C folder, or with "args" of another type.
  answerEspCheck(request("-c", quoted(dir.path() / "B/x.vhd")), folders);
  EXPECT_EQ(reply()["Result"].asString(), "");
  answerEspCheck(request("-c", "[" + quoted(image) + "]"), folders);
  EXPECT_EQ(reply()["Result"].asString(), "");
}

TEST_F(CatalogueRequests, ReplyEchoesTheRequestOpOrFallsBackToTheKind) {
  answerSubFolders(R"({"op": "x-u", "args": []})", folders);
  EXPECT_EQ(reply()["op"].asString(), "x-u");
  answerSubFolders(R"({"op": ["-u"], "args": []})", folders);
  EXPECT_EQ(reply()["op"].asString(), "-u");
  answerEspCheck(R"({"op": 7, "args": "-c"})", folders);
  EXPECT_EQ(reply()["op"].asString(), "-c");
}

TEST_F(CatalogueRequests, PathsOutsideTheBackupFoldersAreAnsweredAsAbsent) {
  std::filesystem::create_directories(dir.path() / "B/pc1");
  std::filesystem::create_directory_symlink("/", dir.path() / "B/root");
  TempDir outside;
  const std::string image = outside.write("170315-1030_Image_C/170315-1030_Image_C_d.vhd", "x").string();
  std::filesystem::create_directories(outside.path() / "170315-1030_Image_ESP");
  std::filesystem::create_directory_symlink(outside.path(), dir.path() / "B/out");

  for (const std::string& folder : {std::string("/"), std::string("/etc"), (dir.path() / "B/root").string(),
                                    (dir.path() / "B/root/etc").string(), (dir.path() / "B/../..").string()}) {
    answerSubFolders(request("-u", "[" + quoted(folder) + "]"), folders);
    EXPECT_EQ(reply()["Result"], Json::Value(Json::arrayValue)) << folder;
    answerBackupPoints(request("-e", "[" + quoted(folder) + "]"), folders);
    EXPECT_EQ(reply()["Result"], Json::Value(Json::arrayValue)) << folder;
  }
  answerBackupPoints(request("-e", "[" + quoted(dir.path() / "B/out") + "]"), folders);
  EXPECT_EQ(reply()["Result"], Json::Value(Json::arrayValue));
  answerEspCheck(request("-c", quoted(image)), folders);
  EXPECT_EQ(reply()["Result"].asString(), "");
  answerEspCheck(request("-c", quoted(dir.path() / "B/out/170315-1030_Image_C/170315-1030_Image_C_d.vhd")), folders);
  EXPECT_EQ(reply()["Result"].asString(), "");

  // Inside, the same requests are answered.
  answerSubFolders(request("-u", "[" + quoted(dir.path() / "B") + "]"), folders);
  EXPECT_EQ(reply()["Result"].size(), 1u);
}

}  // namespace
