// The disk report on rig disks, with the built restore tool in the working
// directory as the agent has it.
#include "external_restore/disk_report.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "common/temp_dir.h"
#include "control/queues.h"
#include "control/shared_state.h"
#include "disks/disk_inventory.h"
#include "external_restore/source_table.h"
#include "rig/rig_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t MiB = 1024 * 1024;

// Runs the test inside `dir` and goes back afterwards.
class WorkingDirectory {
public:
  explicit WorkingDirectory(const fs::path& dir) : previous_(fs::current_path()) { fs::current_path(dir); }
  ~WorkingDirectory() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
  fs::path previous_;
};

Json::Value parse(const std::string& text) {
  Json::Value value;
  std::istringstream stream(text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), stream, &value, &errors)) << errors << text;
  return value;
}

class DiskReportOnDisks : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT_RIG();
    fs::create_symlink(RESTORE_TOOL_BINARY, work_.path() / "keelbackrestoreclient");
    resp_queue.clear();
  }

  void TearDown() override {
    // A measurement that died half-way must not leave its loop device behind.
    const RigRun attached = runProgram({"losetup", "-j", (work_.path() / "temp").string()});
    std::istringstream lines(attached.output);
    for (std::string line; std::getline(lines, line);) {
      const auto colon = line.find(':');
      if (colon != std::string::npos && line.rfind("/dev/loop", 0) == 0) {
        runProgram({"losetup", "-d", line.substr(0, colon)});
        ADD_FAILURE() << "left attached: " << line;
      }
    }
  }

  // Captures a partition of a rig disk as an image with its ".mbr" record.
  std::string capture(Rig& rig, const std::string& disk, int partition, const std::string& relative, int device_number,
                      const std::string& tool = RESTORE_TOOL_BINARY) {
    const fs::path image = backups_.path() / relative;
    fs::create_directories(image.parent_path());
    const RigRun run = runProgram({tool, "--create-image", "--disk", rig.device(disk), "--partition",
                                   std::to_string(partition), "--device-number", std::to_string(device_number), "-o",
                                   image.string()});
    EXPECT_EQ(run.status, 0) << run.output;
    return image.string();
  }

  // The report exactly as the user interface receives it.
  Json::Value report(Rig& rig, const std::vector<std::string>& paths, Json::Value* returned = nullptr) {
    const ScopedEnv path("PATH", Rig::pathWithStandIns());
    const ScopedEnv state("RIG_STATE", rig.state().string());
    const WorkingDirectory cwd(work_.path());
    const Json::Value value = GetDiskInfoJson(paths);
    if (returned != nullptr) {
      *returned = value;
    }
    EXPECT_FALSE(fs::exists(work_.path() / "temp")) << "the scratch file was left behind";
    const auto sent = resp_queue.takeFor(std::chrono::milliseconds(0));
    EXPECT_TRUE(sent.has_value());
    EXPECT_TRUE(resp_queue.empty());
    return sent ? parse(*sent) : Json::Value();
  }

  Json::Value targets(Rig& rig) {
    const ScopedEnv path("PATH", Rig::pathWithStandIns());
    const ScopedEnv state("RIG_STATE", rig.state().string());
    return GetDiskInfo(false);
  }

  TempDir work_;
  TempDir backups_;
};

TEST_F(DiskReportOnDisks, ImagesOfOneSourceDiskFormOneMeasuredSource) {
  Rig rig({{"stick", "usb", "128M"}, {"target", "internal", "128M"}});
  rig.partition("stick", "label: dos\nstart=2048, size=20480, type=7\nstart=22528, size=40960, type=83\n");
  const std::string c = capture(rig, "stick", 1, "b/Image_C/c.raw", 0);
  const std::string d = capture(rig, "stick", 2, "b/Image_D/d.raw", 0);

  Json::Value returned;
  const Json::Value reply = report(rig, {c, d}, &returned);
  EXPECT_EQ(reply["op"].asString(), "-i");
  EXPECT_EQ(reply["error"].asString(), "0");
  ASSERT_EQ(reply["SourceDisk"].size(), 1u);
  const Json::Value& source = reply["SourceDisk"][0];
  EXPECT_EQ(source["Name"].asString(), "Disk 0");
  // The last partition ends in sector 22528 + 40960 - 1.
  EXPECT_EQ(source["Size"].asInt64(), 63487LL * 512);
  ASSERT_EQ(source["Drives"].size(), 2u);
  EXPECT_EQ(source["Drives"][0].asString(), c);
  EXPECT_EQ(source["Drives"][1].asString(), d);
  ASSERT_EQ(reply["TargetDrives"].size(), 1u) << "only the internal disk is a target";
  EXPECT_EQ(reply["TargetDrives"][0]["Device"].asString(), rig.device("target"));
  EXPECT_EQ(returned, reply);
}

TEST_F(DiskReportOnDisks, CountsTargetsAndOrdersSourcesByNumberText) {
  Rig rig({{"stick", "usb", "64M"}, {"first", "internal", "64M"}, {"second", "internal", "64M"}});
  rig.partition("stick", "label: gpt\nsize=8M\n");
  const std::string ten = capture(rig, "stick", 1, "ten/Image_C/c.vhd", 10);
  const std::string two = capture(rig, "stick", 1, "two/Image_C/c.vhd", 2);
  const std::string three = capture(rig, "stick", 1, "three/Image_C/c.vhd", 3);

  const Json::Value fits = report(rig, {two, ten});
  EXPECT_EQ(fits["error"].asString(), "0");
  ASSERT_EQ(fits["SourceDisk"].size(), 2u);
  EXPECT_EQ(fits["SourceDisk"][0]["Name"].asString(), "Disk 10");
  EXPECT_EQ(fits["SourceDisk"][0]["Drives"][0].asString(), ten);
  EXPECT_EQ(fits["SourceDisk"][1]["Name"].asString(), "Disk 2");
  EXPECT_GT(fits["SourceDisk"][1]["Size"].asInt64(), 8 * MiB);

  const Json::Value too_many = report(rig, {two, ten, three});
  EXPECT_EQ(too_many["op"].asString(), "-i");
  EXPECT_EQ(too_many["error"].asString(), "1");
  EXPECT_EQ(too_many["source_count"].asUInt(), 3u);
  EXPECT_EQ(too_many["target_count"].asUInt(), 2u);
  EXPECT_FALSE(too_many.isMember("SourceDisk"));
}

TEST_F(DiskReportOnDisks, SourceLargerThanEveryTargetIsReported) {
  Rig rig({{"stick", "usb", "512M"}, {"small", "internal", "96M"}, {"medium", "internal", "128M"}});
  rig.partition("stick", "label: dos\nstart=2048, size=8192, type=83\nstart=10240, size=600000, type=83\n");
  const std::string image = capture(rig, "stick", 1, "b/Image_C/c.raw", 0);

  const Json::Value reply = report(rig, {image});
  EXPECT_EQ(reply["error"].asString(), "2");
  EXPECT_EQ(reply["source_size"].asInt64(), (10240LL + 600000 - 1) * 512);
  const Json::Value target_list = targets(rig);
  ASSERT_EQ(reply["target_size"].size(), target_list.size());
  ASSERT_EQ(target_list.size(), 2u);
  for (Json::ArrayIndex i = 0; i < target_list.size(); ++i) {
    EXPECT_EQ(reply["target_size"][i].asInt64(), std::stoll(target_list[i]["Size"].asString()));
  }
}

TEST_F(DiskReportOnDisks, ShellSyntaxInAnImagePathIsNeverRun) {
  Rig rig({{"stick", "usb", "64M"}, {"target", "internal", "64M"}});
  rig.partition("stick", "label: dos\nstart=2048, size=16384, type=83\n");
  const fs::path marker = work_.path() / "ran";
  const std::string folder =
      "b/x$(touch " + marker.string() + ")\"q'`touch " + marker.string() + "2`;touch " + marker.string() + "3";
  const std::string image = capture(rig, "stick", 1, folder + "/Image_C/c.raw", 7);

  {
    const ScopedEnv path("PATH", Rig::pathWithStandIns());
    const WorkingDirectory cwd(work_.path());
    EXPECT_EQ(GetMBRInfo(image, "device_number"), "7");
    EXPECT_EQ(GetMBRInfo(image, "partition_number"), "1");
    EXPECT_EQ(GetMBRInfo(image, ""), "version=0");
  }
  const Json::Value reply = report(rig, {image});
  EXPECT_EQ(reply["error"].asString(), "0");
  ASSERT_EQ(reply["SourceDisk"].size(), 1u);
  EXPECT_EQ(reply["SourceDisk"][0]["Name"].asString(), "Disk 7");
  EXPECT_EQ(reply["SourceDisk"][0]["Size"].asInt64(), (2048LL + 16384 - 1) * 512);
  EXPECT_EQ(reply["SourceDisk"][0]["Drives"][0].asString(), image);
  for (const char* suffix : {"", "2", "3"}) {
    EXPECT_FALSE(fs::exists(marker.string() + suffix)) << "a command in the path was run";
  }
}

TEST_F(DiskReportOnDisks, UnreadableRecordMeasuresNothingAndCleansUp) {
  Rig rig({{"target", "internal", "64M"}});
  const fs::path image = backups_.path() / "b/Image_C/c.raw";
  fs::create_directories(image.parent_path());
  std::ofstream(image.string() + ".mbr") << "not a record";
  const ScopedEnv path("PATH", Rig::pathWithStandIns());
  const ScopedEnv state("RIG_STATE", rig.state().string());
  const WorkingDirectory cwd(work_.path());
  EXPECT_EQ(GetMBRInfo(image.string(), "device_number"), "");
  EXPECT_EQ(GetSizeOfSourceDisk(image.string(), true), 0u);
  EXPECT_FALSE(fs::exists(work_.path() / "temp"));
}

// Whether a restore tool with an argument holding `text` still runs.
bool stillRunning(const std::string& text) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::ostringstream read;
    read << in.rdbuf();
    const std::string cmdline = read.str();
    if (cmdline.find(text) != std::string::npos && cmdline.find("keelbackrestoreclient") != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST_F(DiskReportOnDisks, AToolThatHangsOnTheScratchIsEndedAtItsDeadlineOrByTheCancel) {
  Rig rig({{"stick", "usb", "64M"}, {"target", "internal", "64M"}});
  rig.partition("stick", "label: dos\nstart=2048, size=16384, type=83\n");
  const std::string image = capture(rig, "stick", 1, "b/Image_C/c.raw", 4, CONTRACT_TOOL);
  fs::remove(work_.path() / "keelbackrestoreclient");
  fs::create_symlink(CONTRACT_TOOL, work_.path() / "keelbackrestoreclient");
  const ScopedEnv path("PATH", Rig::pathWithStandIns());
  const ScopedEnv state("RIG_STATE", rig.state().string());
  const WorkingDirectory cwd(work_.path());
  // The same tool measures the source while it does not hang.
  ASSERT_EQ(GetSizeOfSourceDisk(image, true), 2048u + 16384 - 1);

  const ScopedEnv hang("CONTRACT_TOOL_HANG", "--restore-mbr");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(GetSizeOfSourceDisk(image, true, std::chrono::seconds(1)), 0u) << "a size the tool never wrote";
  blockdev::ProbedTable table;
  std::string why;
  EXPECT_FALSE(learnSourceTable(image + ".mbr", 512, table, why, std::chrono::seconds(1)));
  EXPECT_NE(why.find("within 1 s"), std::string::npos) << why;
  // The deadline given was kept, not the agent's own of minutes.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
  EXPECT_FALSE(stillRunning(image)) << "the hanging tool was left running";
  EXPECT_FALSE(fs::exists(work_.path() / "temp"));

  // During a restore run the user's cancel ends the wait long before the
  // deadline.
  cancelrestore = true;
  why.clear();
  const auto cancelled = std::chrono::steady_clock::now();
  const bool learned = learnSourceTable(image + ".mbr", 512, table, why);
  cancelrestore = false;
  EXPECT_FALSE(learned);
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(60));
  EXPECT_NE(why.find("was stopped"), std::string::npos) << why;
  EXPECT_EQ(why.find("within"), std::string::npos) << why;
  EXPECT_FALSE(stillRunning(image));
  EXPECT_FALSE(fs::exists(work_.path() / "temp"));
}

}  // namespace
