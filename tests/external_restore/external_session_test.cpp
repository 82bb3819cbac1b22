#include "external_restore/external_session.h"

#include <chrono>
#include <filesystem>
#include <future>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "common/temp_dir.h"
#include "control/queues.h"
#include "control/shared_state.h"
#include "external_restore/restore_run.h"
#include "external_restore/session_dispatch.h"
#include "server_restore/progress.h"

namespace {

using namespace std::chrono_literals;

// A path holding every other switch and "start-over" must not change what a
// request is.
constexpr const char* kTrickyPath = "/mnt/start-over/lab-i7/home-media/x-u/disk-image-e-c-r.vhd";

TEST(MessageKind, AParsedRequestIsItsOpWhateverItsPathsHold) {
  const std::string path = kTrickyPath;
  const struct {
    std::string text;
    MessageKind kind;
  } cases[] = {
      {R"({"op":"start-over"})", MessageKind::StartOver},
      {R"({"op":"-m","args":[")" + path + R"("]})", MessageKind::Mount},
      {R"({"op":"-i","args":[")" + path + R"("]})", MessageKind::DiskReport},
      {R"({"op":"-u","args":[")" + path + R"("]})", MessageKind::SubFolders},
      {R"({"op":"-e","args":[")" + path + R"("]})", MessageKind::BackupPoints},
      {R"({"op":"-c","args":")" + path + R"("})", MessageKind::EspCheck},
      {R"({"op":"-r","restorepoints":[{"out":"/dev/sda","in":[")" + path + R"("]}]})", MessageKind::Restore},
      // Parsed, but no request of this session.
      {R"({"op":"-R","args":["-m"]})", MessageKind::Unknown},
      {R"({"op":"xstart-over"})", MessageKind::Unknown},
      {R"({"op":["-u"],"args":["-e"]})", MessageKind::Unknown},
      {R"({"args":["-m"]})", MessageKind::Unknown},
      {R"(["-u","-e"])", MessageKind::Unknown},
      {R"("-c")", MessageKind::Unknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(messageKindOf(c.text), c.kind) << c.text;
  }
}

TEST(MessageKind, TextThatDoesNotParseKeepsTheSubstringRule) {
  const struct {
    std::string text;
    MessageKind kind;
  } cases[] = {
      {R"({"op":"-u","args":[)", MessageKind::SubFolders},
      {R"({"op":"-c","args":"/x")", MessageKind::EspCheck},
      {"-c x", MessageKind::EspCheck},
      {R"({"op":"-r","in":["/m/x-i/a.vhd"])", MessageKind::DiskReport},
      {"abc", MessageKind::Unknown},
      {"", MessageKind::Unknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(messageKindOf(c.text), c.kind) << c.text;
  }
}

Json::Value parsed(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, value)) << text;
  return value;
}

TEST(RestorePlan, TargetsInTextOrderAndTheLastListForATargetWins) {
  const RestorePlan plan = restorePlanOf(parsed(R"({"op": "-r", "restorepoints": [
      {"out": "/dev/sdb", "in": ["b1"]},
      {"out": "/dev/sda", "in": ["a1", "a2"]},
      {"out": "/dev/sdb", "in": ["b2"]}]})"));
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan.begin()->first, "/dev/sda");
  EXPECT_EQ(plan.at("/dev/sda"), (std::vector<std::string>{"a1", "a2"}));
  EXPECT_EQ(plan.at("/dev/sdb"), (std::vector<std::string>{"b2"}));
}

TEST(RestorePlan, MembersOfTheWrongTypeCountAsEmpty) {
  EXPECT_TRUE(restorePlanOf(parsed(R"({"restorepoints": "x"})")).empty());
  EXPECT_TRUE(restorePlanOf(parsed(R"({"restorepoints": {"out": "/dev/sda"}})")).empty());
  EXPECT_TRUE(restorePlanOf(parsed(R"([1, 2])")).empty());
  EXPECT_TRUE(restorePlanOf(Json::Value()).empty());

  const RestorePlan plan = restorePlanOf(parsed(R"({"restorepoints": [
      5, "x", {"out": 7, "in": ["a"]}, {"in": ["b"]}, {"out": "", "in": ["c"]},
      {"out": "/dev/sda", "in": "d"},
      {"out": "/dev/sdb", "in": [1, "e", null, ["f"]]},
      {"out": "/dev/sdc"}]})"));
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_TRUE(plan.at("/dev/sda").empty());
  EXPECT_EQ(plan.at("/dev/sdb"), std::vector<std::string>{"e"});
  EXPECT_TRUE(plan.at("/dev/sdc").empty());
}

TEST(RestorePlan, VolumeSetMembersAreRegisteredWhenTheirFoldersExist) {
  TempDir dir;
  const std::string full = dir.write("B/170315-1030_Image_C/170315-1030_Image_C_d.vhd", "x").string();
  std::filesystem::create_directories(dir.path() / "B/170315-1030_Image_SYSVOL");
  std::filesystem::create_directories(dir.path() / "B/170315-1030_Image_ESP");
  const std::string bare = dir.write("B/180315-1030_Image_C/180315-1030_Image_C_d.vhd", "x").string();
  const std::string data = dir.write("B/170315-1030_Image_D/170315-1030_Image_D_d.raw", "x").string();

  EXPECT_EQ(progressKeysOf({{"/dev/sda", {full}}}), (std::vector<std::string>{"SYSVOL", "ESPVOL", "C"}));
  EXPECT_EQ(progressKeysOf({{"/dev/sda", {bare, data}}}), (std::vector<std::string>{"C", "D"}));
}

// Runs a session on its own thread, as the endpoint does.
class Session : public ::testing::Test {
protected:
  void SetUp() override {
    msg_queue.clear();
    resp_queue.clear();
    restorePointToProgress.clear();
    isRestoreProcessRunning = true;
    session_ = std::async(std::launch::async, RestoreFromExternalDrive);
  }

  void TearDown() override {
    if (session_.valid() && session_.wait_for(0s) != std::future_status::ready) {
      msg_queue.push(R"({"op": "start-over"})");
      session_.wait();
    }
    msg_queue.clear();
    resp_queue.clear();
  }

  bool endsWithin(std::chrono::milliseconds timeout) {
    return session_.wait_for(timeout) == std::future_status::ready;
  }

  std::future<void> session_;
};

TEST_F(Session, AnswersUntilStartOverAndThenEnds) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "B/pc1");
  msg_queue.push("not json and no kind");
  msg_queue.push(R"({"op": "-u", "args": [")" + (dir.path() / "B").string() + R"("]})");
  const auto reply = resp_queue.takeFor(2000ms);
  ASSERT_TRUE(reply.has_value());
  // No "-m" has found a backup folder yet, so no folder is listed.
  EXPECT_EQ(parsed(*reply)["op"].asString(), "-u");
  EXPECT_EQ(parsed(*reply)["Result"], Json::Value(Json::arrayValue));
  EXPECT_TRUE(isRestoreProcessRunning);

  msg_queue.push(R"({"op": "start-over"})");
  ASSERT_TRUE(endsWithin(2000ms));
  EXPECT_FALSE(isRestoreProcessRunning);
  EXPECT_TRUE(resp_queue.empty());
}

TEST_F(Session, APathHoldingOtherSwitchesIsAnsweredAsItsOwnRequest) {
  TempDir dir;
  const std::filesystem::path folder = dir.path() / "start-over-m-i" / "lab-i7";
  std::filesystem::create_directories(folder / "home-media");
  msg_queue.push(R"({"op": "-u", "args": [")" + folder.string() + R"("]})");
  const auto reply = resp_queue.takeFor(2000ms);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(parsed(*reply)["op"].asString(), "-u");
  EXPECT_TRUE(parsed(*reply)["Result"].isArray());
  EXPECT_FALSE(endsWithin(0ms)) << "a path holding start-over must not end the session";
}

TEST_F(Session, WrongTypedRequestsNeverStopTheSession) {
  for (const std::string text : {R"({"op": "-u", "args": {"x": 1}})", R"({"op": "-e", "args": [{}]})",
                                  R"({"op": "-c", "args": 12})", R"({"op": "-e", "args": [)"}) {
    msg_queue.push(text);
    EXPECT_TRUE(resp_queue.takeFor(2000ms).has_value()) << text;
  }
  EXPECT_FALSE(endsWithin(0ms));
  EXPECT_TRUE(isRestoreProcessRunning);
}

TEST_F(Session, RestoreWithAnEmptyPlanEndsTheSessionAndLeavesLaterMessagesQueued) {
  cancelrestore = true;
  restorePointToProgress.set("X", "SUCCESS");
  msg_queue.push(R"({"op": "-r", "restorepoints": "not a list"})");
  msg_queue.push(R"({"op": "-u", "args": []})");
  ASSERT_TRUE(endsWithin(2000ms));
  EXPECT_FALSE(isRestoreProcessRunning);
  EXPECT_FALSE(cancelrestore) << "a run clears the cancel flag";
  EXPECT_TRUE(restorePointToProgress.snapshot().empty()) << "a run starts with an empty table";
  EXPECT_EQ(msg_queue.takeFor(0ms).value_or(""), R"({"op": "-u", "args": []})");
  EXPECT_TRUE(resp_queue.empty());
}

}  // namespace
