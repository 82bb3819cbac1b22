#include "external_restore/disk_fit.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t GB = 1000LL * 1000 * 1000;

Json::Value targets(const std::vector<int64_t>& sizes) {
  Json::Value list;
  int n = 0;
  for (int64_t size : sizes) {
    Json::Value disk;
    disk["Device"] = "/dev/sd" + std::string(1, static_cast<char>('a' + n++));
    disk["Model"] = "";
    disk["Size"] = std::to_string(size);
    list.append(disk);
  }
  return list;
}

Json::Value reportFor(const Json::Value& target_list, const SourceDiskMap& sources) {
  Json::Value report;
  report["TargetDrives"] = target_list;
  report["SourceDisk"] = sourceDiskArray(sources);
  return report;
}

TEST(DiskFit, SourceDisksAreListedInTextOrderOfTheirNumbers) {
  SourceDiskMap sources;
  sources["2"] = {20 * GB, {"/b/2/Image_D/d.vhd"}};
  sources["10"] = {10 * GB, {"/b/10/Image_C/c.vhd", "/b/10/Image_E/e.raw"}};
  const Json::Value disks = sourceDiskArray(sources);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0]["Name"].asString(), "Disk 10");
  EXPECT_EQ(disks[0]["Size"].asInt64(), 10 * GB);
  ASSERT_EQ(disks[0]["Drives"].size(), 2u);
  EXPECT_EQ(disks[0]["Drives"][1].asString(), "/b/10/Image_E/e.raw");
  EXPECT_EQ(disks[1]["Name"].asString(), "Disk 2");
  EXPECT_TRUE(disks[0]["Size"].isInt64());
}

TEST(DiskFit, FewerTargetsThanSourcesGivesReportOne) {
  SourceDiskMap sources{{"0", {1 * GB, {"a"}}}, {"1", {1 * GB, {"b"}}}};
  Json::Value report = reportFor(targets({500 * GB}), sources);
  const Json::Value reply = diskFitReport(report);
  EXPECT_EQ(reply["op"].asString(), "-i");
  EXPECT_EQ(reply["error"].asString(), "1");
  EXPECT_TRUE(reply["source_count"].isUInt());
  EXPECT_EQ(reply["source_count"].asUInt(), 2u);
  EXPECT_EQ(reply["target_count"].asUInt(), 1u);
  EXPECT_FALSE(reply.isMember("TargetDrives"));
  EXPECT_FALSE(reply.isMember("SourceDisk"));
}

TEST(DiskFit, NoTargetsAtAllIsReportOneToo) {
  SourceDiskMap sources{{"0", {0, {"a"}}}};
  Json::Value report = reportFor(Json::Value(), sources);
  const Json::Value reply = diskFitReport(report);
  EXPECT_EQ(reply["error"].asString(), "1");
  EXPECT_EQ(reply["target_count"].asUInt(), 0u);
}

TEST(DiskFit, ASourceLargerThanEveryTargetGivesReportTwoWithAllTargets) {
  SourceDiskMap sources{{"0", {250 * GB, {"a"}}}};
  Json::Value report = reportFor(targets({100 * GB, 200 * GB}), sources);
  const Json::Value reply = diskFitReport(report);
  EXPECT_EQ(reply["op"].asString(), "-i");
  EXPECT_EQ(reply["error"].asString(), "2");
  EXPECT_EQ(reply["source_size"].asInt64(), 250 * GB);
  ASSERT_EQ(reply["target_size"].size(), 2u);
  EXPECT_EQ(reply["target_size"][0].asInt64(), 100 * GB);
  EXPECT_EQ(reply["target_size"][1].asInt64(), 200 * GB);
  EXPECT_FALSE(reply.isMember("SourceDisk"));
}

TEST(DiskFit, TheFirstSourceThatFitsNothingIsReported) {
  // "0" fits the large target, "1" fits none; the smaller targets are listed.
  SourceDiskMap sources{{"0", {150 * GB, {"a"}}}, {"1", {900 * GB, {"b"}}}, {"2", {999 * GB, {"c"}}}};
  Json::Value report = reportFor(targets({100 * GB, 200 * GB, 300 * GB}), sources);
  const Json::Value reply = diskFitReport(report);
  EXPECT_EQ(reply["error"].asString(), "2");
  EXPECT_EQ(reply["source_size"].asInt64(), 900 * GB);
  EXPECT_EQ(reply["target_size"].size(), 3u);
}

TEST(DiskFit, FittingSourcesGiveReportZeroOnTheReportItself) {
  SourceDiskMap sources{{"0", {150 * GB, {"a"}}}, {"1", {200 * GB, {"b"}}}};
  Json::Value report = reportFor(targets({150 * GB, 200 * GB}), sources);
  const Json::Value reply = diskFitReport(report);
  EXPECT_EQ(reply["error"].asString(), "0");
  EXPECT_EQ(reply["op"].asString(), "-i");
  EXPECT_EQ(reply["TargetDrives"].size(), 2u);
  EXPECT_EQ(reply["SourceDisk"].size(), 2u);
  // The value the caller gets back carries the verdict too.
  EXPECT_EQ(report["error"].asString(), "0");
  EXPECT_EQ(report["op"].asString(), "-i");
}

TEST(DiskFit, ASourceOfExactlyTheTargetsSizeFits) {
  SourceDiskMap sources{{"0", {200 * GB, {"a"}}}};
  Json::Value report = reportFor(targets({200 * GB}), sources);
  EXPECT_EQ(diskFitReport(report)["error"].asString(), "0");
  SourceDiskMap larger{{"0", {200 * GB + 512, {"a"}}}};
  Json::Value report2 = reportFor(targets({200 * GB}), larger);
  EXPECT_EQ(diskFitReport(report2)["error"].asString(), "2");
}

TEST(DiskFit, NoImagesGiveReportZeroWithNullSourceDisk) {
  Json::Value report = reportFor(targets({100 * GB}), {});
  const Json::Value reply = diskFitReport(report);
  EXPECT_EQ(reply["error"].asString(), "0");
  EXPECT_TRUE(reply["SourceDisk"].isNull());
}

TEST(DiskFit, ATargetWithoutANumericSizeHoldsNothing) {
  Json::Value list = targets({100 * GB});
  list[0]["Size"] = "";
  SourceDiskMap sources{{"0", {512, {"a"}}}};
  Json::Value report = reportFor(list, sources);
  const Json::Value reply = diskFitReport(report);
  EXPECT_EQ(reply["error"].asString(), "2");
  EXPECT_EQ(reply["target_size"][0].asInt64(), 0);
}

TEST(DiskFit, ASourceWhoseSizeCouldNotBeMeasuredFitsNoTarget) {
  SourceDiskMap sources{{"0", {100 * GB, {"a"}}}, {"1", {0, {"b"}}}};
  Json::Value report = reportFor(targets({200 * GB, 300 * GB}), sources);
  const Json::Value reply = diskFitReport(report);
  EXPECT_EQ(reply["error"].asString(), "2");
  EXPECT_EQ(reply["source_size"].asInt64(), 0);
  EXPECT_EQ(reply["target_size"].size(), 2u);
}

// Sources that each fit some target alone must still have a target each.
TEST(DiskFit, EverySourceNeedsATargetOfItsOwn) {
  struct Case {
    std::string name;
    std::vector<int64_t> sources;  // in map order
    std::vector<int64_t> targets;
    std::string error;
    int64_t reported = 0;                 // source_size of a "2" report
    std::vector<int64_t> blocking = {};  // its target_size
  };
  const std::vector<Case> cases{
      {"the smaller source first in map order, the larger target first", {100 * GB, 150 * GB},
       {200 * GB, 120 * GB}, "0"},
      {"the larger source first in map order", {150 * GB, 100 * GB}, {120 * GB, 200 * GB}, "0"},
      {"both fit only the same target", {150 * GB, 160 * GB}, {200 * GB, 120 * GB}, "2", 150 * GB,
       {200 * GB, 120 * GB}},
      {"three sources, the middle target fits two", {50 * GB, 90 * GB, 95 * GB}, {100 * GB, 60 * GB, 99 * GB}, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SourceDiskMap sources;
    for (size_t i = 0; i < c.sources.size(); ++i) {
      sources[std::to_string(i)] = {c.sources[i], {"image" + std::to_string(i)}};
    }
    Json::Value report = reportFor(targets(c.targets), sources);
    const Json::Value reply = diskFitReport(report);
    EXPECT_EQ(reply["error"].asString(), c.error);
    if (c.error == "2") {
      EXPECT_EQ(reply["source_size"].asInt64(), c.reported);
      std::vector<int64_t> blocking;
      for (const Json::Value& size : reply["target_size"]) {
        blocking.push_back(size.asInt64());
      }
      EXPECT_EQ(blocking, c.blocking);
    }
  }
}

TEST(LargestEndSector, ReadsTheEndColumnOfMbrAndGptRows) {
  const std::vector<std::string> rows = {
      "/dev/loop4p1 *       2048  206847  204800  100M  7 HPFS/NTFS/exFAT",
      "/dev/loop4p2       206848 4194303 3987456  1.9G 83 Linux",
      "/dev/loop4p3      4194304 4196351    2048    1M Linux filesystem",
  };
  EXPECT_EQ(largestEndSector(rows), 4196351u);
}

TEST(LargestEndSector, PassesOverRowsItCannotRead) {
  EXPECT_EQ(largestEndSector({}), 0u);
  EXPECT_EQ(largestEndSector({"/dev/loop4p1 2048", "/dev/loop4p2 2048 12x 5", "/dev/loop4p3 1 900 900"}), 900u);
}

}  // namespace
