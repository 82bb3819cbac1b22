#include "messages.h"

#include <memory>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "fake_agent.h"

namespace restorectl {
namespace {

using testing::disk;
using testing::fittingReport;
using testing::sourceDisk;

Json::Value parsed(const std::string& text) {
  const auto reply = parseReply(text);
  EXPECT_TRUE(reply.has_value()) << text;
  return reply ? reply->body : Json::Value();
}

Json::Value json(const std::string& text) {
  Json::Value value;
  std::string errors;
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text;
  return value;
}

// The external-drive session decides the kind of a message by the first of
// these texts found anywhere in the raw message.
std::string kindSeenByExternalSession(const std::string& raw) {
  for (const char* kind : {"start-over", "-m", "-i", "-u", "-e", "-c", "-r"}) {
    if (raw.find(kind) != std::string::npos) {
      return kind;
    }
  }
  return "";
}

TEST(RestorectlRequests, CarryTheMembersTheAgentReads) {
  EXPECT_EQ(parsed(initRequest(kServerMode))["mode"].asString(), "BMR_SERVER");
  EXPECT_EQ(parsed(initRequest(kServerMode))["op"].asString(), "init");
  EXPECT_EQ(parsed(authRequest("pa-ss \"word\""))["pass"].asString(), "pa-ss \"word\"");
  EXPECT_EQ(parsed(imageListRequest("acme-pc"))["args"][0].asString(), "acme-pc");
  EXPECT_EQ(parsed(folderListRequest("/mnt/x"))["args"][0].asString(), "/mnt/x");
  EXPECT_TRUE(parsed(clientListRequest())["args"].isNull());
  // "-c" takes its image as a plain string, not an array.
  EXPECT_EQ(parsed(espCheckRequest("2024-01-05 10:30_C"))["args"].asString(), "2024-01-05 10:30_C");

  const Json::Value restore = parsed(restoreRequest(
      {{"/dev/sdb", {"k1", "k2"}}, {"/dev/sda", {"k3"}}}));
  EXPECT_EQ(restore["op"].asString(), "-r");
  ASSERT_EQ(restore["restorepoints"].size(), 2u);
  EXPECT_EQ(restore["restorepoints"][0]["out"].asString(), "/dev/sdb");
  EXPECT_EQ(restore["restorepoints"][0]["in"][1].asString(), "k2");
  EXPECT_EQ(restore["restorepoints"][1]["in"][0].asString(), "k3");

  for (const auto& [text, op] : std::vector<std::pair<std::string, std::string>>{
           {mountRequest(), "-m"}, {cancelRequest(), "cancel-restore"},
           {networkRequest(), "config_network"}, {rebootRequest(), "reboot"},
           {shutdownRequest(), "shutdown"}, {startOverRequest(), "start-over"}}) {
    EXPECT_EQ(parsed(text)["op"].asString(), op);
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  }
}

TEST(RestorectlRequests, PathsWithDashesKeepTheirKindInTheExternalSession) {
  const std::string nasty = "/mnt/sdb1_14_03_59/TarnbyBMR_Backups/web-east-mc/170315-1030_C/"
                            "Image_C/start-over-i-u-e-c-r.vhd";
  const std::string report = diskReportRequest({nasty});
  EXPECT_EQ(kindSeenByExternalSession(report), "-i") << report;
  EXPECT_EQ(parsed(report)["args"][0].asString(), nasty);

  const std::string restore = restoreRequest({{"/dev/disk/by-id/ata-x-m", {nasty}}});
  EXPECT_EQ(kindSeenByExternalSession(restore), "-r") << restore;
  EXPECT_EQ(parsed(restore)["restorepoints"][0]["out"].asString(), "/dev/disk/by-id/ata-x-m");

  EXPECT_EQ(kindSeenByExternalSession(folderListRequest(nasty)), "-u");
  EXPECT_EQ(kindSeenByExternalSession(imageListRequest(nasty)), "-e");
  EXPECT_EQ(kindSeenByExternalSession(espCheckRequest(nasty)), "-c");
  EXPECT_EQ(parsed(espCheckRequest(nasty))["args"].asString(), nasty);
}

TEST(RestorectlReplies, OnlyJsonObjectsAreMessages) {
  EXPECT_FALSE(parseReply("abc").has_value());
  EXPECT_FALSE(parseReply("[1, 2]").has_value());
  EXPECT_FALSE(parseReply("").has_value());
  const auto invalid = parseReply("{\"error\":\"invalid json\"}");
  ASSERT_TRUE(invalid.has_value());
  EXPECT_EQ(invalid->op, "");
  // A non-text "op" is no kind this client waits for.
  EXPECT_EQ(parseReply("{\"op\": 5}")->op, "");
  EXPECT_EQ(parseReply(testing::authMessage("login_success"))->op, "auth");
}

TEST(RestorectlReplies, ListsOfNamesAndImages) {
  const auto names = parseNameList(*parseReply(testing::clientList({"a", "b-c"})));
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(*names, (std::vector<std::string>{"a", "b-c"}));
  EXPECT_FALSE(parseNameList(*parseReply(R"({"op":"-u","Result":[1]})")).has_value());
  EXPECT_FALSE(parseNameList(*parseReply(R"({"op":"-u","Result":"x"})")).has_value());

  const auto images = parseImageList(*parseReply(testing::imageList(
      {{"C:", "2024-01-05 10:30", "2024-01-05 10:30_C:"}, {"D:", "2024-02-01 08:00", "k2"}})));
  ASSERT_TRUE(images.has_value());
  ASSERT_EQ(images->size(), 2u);
  EXPECT_EQ((*images)[0].letter, "C:");
  EXPECT_EQ((*images)[0].backupDate, "2024-01-05 10:30");
  EXPECT_EQ((*images)[1].path, "k2");
  EXPECT_FALSE(parseImageList(*parseReply(R"({"op":"-e","Result":[{"letter":"C:"}]})")).has_value());

  const auto error = parseListingError(*parseReply(testing::errorMessage("no_server_found`", "3")));
  EXPECT_EQ(error.msg, "no_server_found`");
  EXPECT_EQ(error.errorCode, "3");
}

TEST(RestorectlReplies, FittingDiskReport) {
  const std::string text = fittingReport(
      {disk("/dev/sda", "Model X", 500107862016, {{"sda1", "ntfs", "104857600", ""}}),
       disk("/dev/sdb", "", 1000204886016)},
      {sourceDisk("10", 256060514304, {"k1", "k2"}), sourceDisk("2", 0, {"k3"})});
  const auto report = parseDiskReport(*parseReply(text));
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->error, "0");
  ASSERT_EQ(report->targets.size(), 2u);
  EXPECT_EQ(report->targets[0].device, "/dev/sda");
  EXPECT_EQ(report->targets[0].model, "Model X");
  EXPECT_EQ(report->targets[0].size, 500107862016);
  ASSERT_EQ(report->targets[0].partitions.size(), 1u);
  EXPECT_EQ(report->targets[0].partitions[0].fsType, "ntfs");
  EXPECT_TRUE(report->targets[1].partitions.empty());
  ASSERT_EQ(report->sources.size(), 2u);
  EXPECT_EQ(report->sources[0].name, "Disk 10");
  EXPECT_EQ(report->sources[0].size, 256060514304);
  EXPECT_EQ(report->sources[0].images, (std::vector<std::string>{"k1", "k2"}));
}

TEST(RestorectlReplies, DiskReportWithoutSourcesOrTargets) {
  // No image got as far as a source disk, and no local disk at all.
  const auto report = parseDiskReport(
      *parseReply(R"({"op":"-i","error":"0","TargetDrives":null,"SourceDisk":null})"));
  ASSERT_TRUE(report.has_value());
  EXPECT_TRUE(report->targets.empty());
  EXPECT_TRUE(report->sources.empty());
}

TEST(RestorectlReplies, DiskReportsOfDisksThatDoNotFit) {
  const auto tooFew = parseDiskReport(
      *parseReply(R"({"op":"-i","error":"1","source_count":2,"target_count":1})"));
  ASSERT_TRUE(tooFew.has_value());
  EXPECT_EQ(tooFew->sourceCount, 2u);
  EXPECT_EQ(tooFew->targetCount, 1u);

  const auto tooSmall = parseDiskReport(*parseReply(
      R"({"op":"-i","error":"2","source_size":268435456000,"target_size":[107374182400,214748364800]})"));
  ASSERT_TRUE(tooSmall.has_value());
  EXPECT_EQ(tooSmall->sourceSize, 268435456000);
  EXPECT_EQ(tooSmall->targetSizes, (std::vector<std::int64_t>{107374182400, 214748364800}));
}

TEST(RestorectlReplies, MalformedDiskReportsAreRejected) {
  for (const char* text : {
           R"({"op":"-i"})",
           R"({"op":"-i","error":"7"})",
           R"({"op":"-i","error":"0","TargetDrives":{},"SourceDisk":null})",
           R"({"op":"-i","error":"0","TargetDrives":null,"SourceDisk":[{"Name":"Disk 0","Size":"5","Drives":[]}]})",
           R"({"op":"-i","error":"1","source_count":"2","target_count":1})",
           R"({"op":"-i","error":"2","target_size":[1]})",
       }) {
    EXPECT_FALSE(parseDiskReport(*parseReply(text)).has_value()) << text;
  }
}

TEST(RestorectlReplies, TargetSizeThatIsNotANumberIsUnknown) {
  const auto disks = parseDiskList(json(R"([{"Device":"/dev/sda","Size":"12G"}])"));
  ASSERT_TRUE(disks.has_value());
  EXPECT_EQ((*disks)[0].size, -1);
  EXPECT_FALSE(parseDiskList(json(R"([{"Device":"/dev/sda","partitions":5}])")).has_value());
}

TEST(RestorectlReplies, DiskInUseAndRefusal) {
  const auto disks = parseDiskList(json(R"([{"Device":"/dev/sda","Size":"1","InUse":"mounted"},{"Device":"/dev/sdb"}])"));
  ASSERT_TRUE(disks.has_value());
  EXPECT_EQ((*disks)[0].inUse, "mounted");
  EXPECT_EQ((*disks)[1].inUse, "");

  const auto refusal = parseRefusal(*parseReply(R"({"op":"refused","key":"C","target":"/dev/sda","reason":"busy"})"));
  ASSERT_TRUE(refusal.has_value());
  EXPECT_EQ(refusal->key, "C");
  EXPECT_EQ(refusal->target, "/dev/sda");
  EXPECT_EQ(refusal->reason, "busy");
  EXPECT_FALSE(parseRefusal(*parseReply(R"({"op":"-p","key":"C"})")).has_value());
}

TEST(RestorectlReplies, ProgressTables) {
  const auto empty = parseProgress(*parseReply(R"({"op":"-p","progress":null})"));
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());

  const auto table = parseProgress(*parseReply(
      testing::progressMessage({{"SYSVOL", "SUCCESS"}, {"F", "45%"}, {"ESPVOL", ""}})));
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(*table, (ProgressTable{{"ESPVOL", ""}, {"F", "45%"}, {"SYSVOL", "SUCCESS"}}));

  EXPECT_FALSE(parseProgress(*parseReply(R"({"op":"-p","progress":[1]})")).has_value());
  EXPECT_FALSE(parseProgress(*parseReply(R"({"op":"-p","progress":{"C":[1]}})")).has_value());
}

}  // namespace
}  // namespace restorectl
