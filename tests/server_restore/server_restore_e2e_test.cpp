// The real agent restoring from the real backup service onto rig disks, driven
// over its WebSocket endpoint the way the user interface drives it. Each
// restore costs at least 20 seconds of the agent's fixed pauses, so the
// partitions are small and the restores few.
#include <regex>

#include "rig/restore_targets.h"
#include "rig/vfat_target.h"
#include "server_restore/e2e_fixture.h"
#include "support/command.h"

using namespace std::chrono_literals;

namespace {

constexpr int64_t kTime = 1500000000;

std::string keyOf(const Json::Value& imageList, const std::string& letter) {
  for (const Json::Value& image : imageList["Result"]) {
    if (image["letter"].asString() == letter) {
      return image["path"].asString();
    }
  }
  ADD_FAILURE() << "no image with letter " << letter;
  return std::string();
}

std::string restoreRequest(const std::string& target, const std::vector<std::string>& keys) {
  Json::Value request;
  request["op"] = "-r";
  Json::Value point;
  point["out"] = target;
  point["in"] = Json::Value(Json::arrayValue);
  for (const std::string& key : keys) {
    point["in"].append(key);
  }
  request["restorepoints"].append(point);
  return request.toStyledString();
}

std::string selectRequest(const std::vector<std::string>& keys) {
  Json::Value request;
  request["op"] = "-i";
  request["args"] = Json::Value(Json::arrayValue);
  for (const std::string& key : keys) {
    request["args"].append(key);
  }
  return request.toStyledString();
}

// Every status a drive shows while it is restored: planned, a percentage, done.
void expectOnlyRunningOrSuccess(const std::vector<Json::Value>& messages, const std::string& key) {
  const std::regex percentage("[0-9]{1,3}%");
  for (const Json::Value& message : messages) {
    const std::string status = statusOf(message, key);
    EXPECT_TRUE(status.empty() || status == "SUCCESS" || std::regex_match(status, percentage))
        << key << ": " << status;
  }
}

void expectSameBytes(const std::string& source, const std::string& target, long long offset, long long length) {
  const std::optional<long long> difference = firstDifference(source, target, offset, length);
  EXPECT_FALSE(difference) << source << " and " << target << " differ at byte " << *difference;
}

TEST_F(ServerRestoreEndToEnd, MbrDiskWithExt4AndNtfsIsRestoredByteForByte) {
  makeRig({{"source", "usb", "80M"}, {"target", "internal", "80M"}});
  rig_->partition("source", "label: dos\nsize=24M, type=83\nsize=24M, type=7\n");
  rig_->mkfs("source", 1, "ext4");
  rig_->mkfs("source", 2, "ntfs");
  rig_->fill("source", 1);
  rig_->fill("source", 2);
  capture("source", 1, "C", kTime);
  capture("source", 2, "D", kTime);
  startService();

  const Json::Value images = loginAndListImages("pc1");
  ASSERT_EQ(images["Result"].size(), 2u);
  const std::string c = keyOf(images, "C");
  const std::string d = keyOf(images, "D");

  send(selectRequest({c, d}));
  const Json::Value report = receive(60s);
  EXPECT_EQ(report["error"].asString(), "0");
  ASSERT_EQ(report["SourceDisk"].size(), 1u);
  EXPECT_EQ(report["SourceDisk"][0]["Drives"].size(), 2u);
  ASSERT_EQ(report["TargetDrives"].size(), 1u);
  EXPECT_EQ(report["TargetDrives"][0]["Device"].asString(), rig_->device("target"));

  const std::string target = rig_->device("target");
  send(restoreRequest(target, {c, d}));
  const std::vector<Json::Value> messages = followRestore({"C", "D"}, 180s);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(statusOf(messages.back(), "C"), "SUCCESS");
  EXPECT_EQ(statusOf(messages.back(), "D"), "SUCCESS");
  expectOnlyRunningOrSuccess(messages, "C");
  expectOnlyRunningOrSuccess(messages, "D");

  const std::string source = rig_->device("source");
  expectSameBytes(source, target, 0, 512);
  for (int n : {1, 2}) {
    const long long size = deviceSize(rig_->partition("source", n));
    ASSERT_GT(size, 0);
    EXPECT_EQ(deviceSize(rig_->partition("target", n)), size);
    expectSameBytes(rig_->partition("source", n), rig_->partition("target", n), 0, size);
  }
}

TEST_F(ServerRestoreEndToEnd, GptDiskWithEspAndSystemVolumeIsRestoredWithBothTables) {
  makeRig({{"source", "usb", "80M"}, {"target", "internal", "80M"}});
  rig_->partition("source",
                  "label: gpt\n"
                  "size=16M, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n"
                  "size=16M, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
                  "size=32M, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n");
  rig_->mkfs("source", 1, "vfat");
  rig_->mkfs("source", 2, "ntfs");
  rig_->mkfs("source", 3, "ext4");
  rig_->fill("source", 2);
  rig_->fill("source", 3);
  const int main = capture("source", 3, "C", kTime);
  capture("source", 2, "S", kTime, main);  // first associated: the system volume
  capture("source", 1, "E", kTime, main);  // second: the EFI system partition
  startService();

  const Json::Value images = loginAndListImages("pc1");
  ASSERT_EQ(images["Result"].size(), 1u);
  const std::string c = keyOf(images, "C");
  send(selectRequest({c}));
  EXPECT_EQ(receive(60s)["error"].asString(), "0");
  send(R"({"op": "-c", "args": ")" + c + R"("})");
  const Json::Value esp = receive();
  EXPECT_EQ(esp["op"].asString(), "-c");
  EXPECT_EQ(esp["Result"].asString(), "ESPVOL-Present");

  const std::string target = rig_->device("target");
  send(restoreRequest(target, {c}));
  const std::vector<Json::Value> messages = followRestore({"SYSVOL", "ESPVOL", "C"}, 240s);
  ASSERT_FALSE(messages.empty());
  for (const char* key : {"SYSVOL", "ESPVOL", "C"}) {
    EXPECT_EQ(statusOf(messages.back(), key), "SUCCESS") << key;
    expectOnlyRunningOrSuccess(messages, key);
  }

  const std::string source = rig_->device("source");
  const long long size = deviceSize(source);
  expectSameBytes(source, target, 0, 512);                      // protective MBR
  expectSameBytes(source, target, 512, 33 * 512);               // primary header and entries
  expectSameBytes(source, target, size - 33 * 512, 33 * 512);   // backup entries and header
  const RigRun verify = runProgram({"sfdisk", "--verify", target});
  EXPECT_EQ(verify.status, 0) << verify.output;
  EXPECT_NE(verify.output.find("No errors detected"), std::string::npos) << verify.output;
  for (int n : {1, 2, 3}) {
    const long long partSize = deviceSize(rig_->partition("source", n));
    expectSameBytes(rig_->partition("source", n), rig_->partition("target", n), 0, partSize);
  }
}

TEST_F(ServerRestoreEndToEnd, SaltedPasswordLoginAsksUntilThePasswordIsRight) {
  makeRig({{"source", "usb", "16M"}});
  rig_->partition("source", "label: dos\nsize=8M, type=83\n");
  capture("source", 1, "C", kTime);
  const BackupServiceRun added = runBackupService(
      {"adduser", "--store", store_.path().string(), "--user", "admin", "--password-file",
       work_.write("admin-password", "right one\n").string(), "--rounds", "1000"});
  ASSERT_EQ(added.status, 0) << added.errors;
  startService();
  startSession();

  Json::Value message = receive();
  EXPECT_EQ(message["op"].asString(), "auth");
  EXPECT_EQ(message["msg"].asString(), "password_needed");
  send(R"({"op": "auth", "pass": "wrong one"})");
  EXPECT_EQ(receive()["msg"].asString(), "login_failed");
  EXPECT_EQ(receive()["msg"].asString(), "password_needed");
  send(R"({"op": "auth", "pass": "right one"})");
  EXPECT_EQ(receive()["msg"].asString(), "login_success");
  message = receive();
  EXPECT_EQ(message["op"].asString(), "-u");
  ASSERT_EQ(message["Result"].size(), 1u);
  EXPECT_EQ(message["Result"][0].asString(), "pc1");
}

TEST_F(ServerRestoreEndToEnd, SelectionReportsTooFewAndTooSmallTargets) {
  makeRig({{"source", "usb", "128M"}, {"target", "internal", "64M"}});
  rig_->partition("source", "label: dos\nsize=8M, type=83\nsize=100M, type=83\n");
  // Two images said to come from two different source disks.
  capture("source", 1, "C", kTime, 0, 0);
  capture("source", 2, "D", kTime, 0, 1);
  startService();
  const Json::Value images = loginAndListImages("pc1");
  const std::string c = keyOf(images, "C");
  const std::string d = keyOf(images, "D");

  send(selectRequest({c, d}));
  Json::Value report = receive(60s);
  EXPECT_EQ(report["op"].asString(), "-i");
  EXPECT_EQ(report["error"].asString(), "1");
  EXPECT_EQ(report["source_count"].asUInt(), 2u);
  EXPECT_EQ(report["target_count"].asUInt(), 1u);

  send(selectRequest({d}));
  report = receive(60s);
  EXPECT_EQ(report["error"].asString(), "2");
  // The last partition ends at sector 2048 + 16384 + 204800 - 1.
  EXPECT_EQ(report["source_size"].asInt64(), int64_t{223231} * 512);
  ASSERT_EQ(report["target_size"].size(), 1u);
  EXPECT_EQ(report["target_size"][0].asInt64(), 64 * 1024 * 1024);
}

// The service streams only the blocks a file system uses; an md superblock
// that the old contents left near the partition's end must not make the
// restored partition look like a RAID member.
TEST_F(ServerRestoreEndToEnd, NoOldSignatureSurvivesASparseImage) {
  makeRig({{"source", "usb", "64M"}, {"target", "internal", "64M"}});
  rig_->partition("source", "label: dos\nsize=40M, type=83\n");
  rig_->mkfs("source", 1, "ext4");
  rig_->partition("target", "label: dos\nsize=40M, type=83\n");
  rig_->mkfs("target", 1, "vfat");
  const std::string partition = rig_->partition("target", 1);
  plantMdSuperblock(partition, 40LL << 20);
  const auto signatures = [](const std::string& device) {
    std::string found;
    runCommand("wipefs --no-act --noheadings --output TYPE " + device + " 2>&1", found);
    return found;
  };
  ASSERT_NE(signatures(partition).find("linux_raid_member"), std::string::npos) << signatures(partition);
  capture("source", 1, "C", kTime);
  startService();
  const std::string c = keyOf(loginAndListImages("pc1"), "C");
  send(selectRequest({c}));
  EXPECT_EQ(receive(60s)["error"].asString(), "0");

  send(restoreRequest(rig_->device("target"), {c}));
  const std::vector<Json::Value> messages = followRestore({"C"}, 180s);
  ASSERT_FALSE(messages.empty());
  ASSERT_EQ(statusOf(messages.back(), "C"), "SUCCESS") << agent_->log();
  EXPECT_EQ(signatures(partition), "ext4\n");
}

// A target disk that is in use: listed (the user must see it) with the
// reason, refused at "-r" with that reason sent beside the drive's "ERROR",
// and left byte for byte as it was.
class TargetInUse : public ServerRestoreEndToEnd {
protected:
  void expectRefusedWith(const std::string& words) {
    const std::string target = rig_->device("target");
    const std::string before = deviceBytes(target);
    capture("source", 1, "C", kTime);
    startService();
    const std::string c = keyOf(loginAndListImages("pc1"), "C");
    send(selectRequest({c}));
    const Json::Value report = receive(60s);
    ASSERT_EQ(report["TargetDrives"].size(), 1u) << report.toStyledString();
    EXPECT_EQ(report["TargetDrives"][0]["Device"].asString(), target);
    EXPECT_NE(report["TargetDrives"][0]["InUse"].asString().find(words), std::string::npos)
        << report.toStyledString();

    send(restoreRequest(target, {c}));
    const Json::Value refused = receiveOp("refused", 120s);
    EXPECT_EQ(refused["key"].asString(), "C") << refused.toStyledString();
    EXPECT_EQ(refused["target"].asString(), target);
    EXPECT_NE(refused["reason"].asString().find(words), std::string::npos) << refused.toStyledString();
    const std::vector<Json::Value> messages = followRestore({"C"}, 60s);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(statusOf(messages.back(), "C"), "ERROR");
    EXPECT_TRUE(deviceBytes(target) == before) << "the disk in use was written to";
  }

  void makeDisks() {
    makeRig({{"source", "usb", "32M"}, {"target", "internal", "32M"}});
    rig_->partition("source", "label: dos\nsize=8M, type=83\n");
    rig_->partition("target", "label: dos\nsize=8M, type=83\nsize=8M, type=83\n");
  }
};

TEST_F(TargetInUse, ActiveSwapOnAPartition) {
  makeDisks();
  const std::string swap = rig_->partition("target", 2);
  ASSERT_EQ(runProgram({"mkswap", swap}).status, 0);
  ASSERT_EQ(runProgram({"swapon", swap}).status, 0);
  // Off again whatever the test does, before the rig detaches the disk.
  struct SwapOff {
    std::string device;
    ~SwapOff() { runProgram({"swapoff", device}); }
  } off{swap};
  expectRefusedWith("swap");
}

TEST_F(TargetInUse, MountedPartition) {
  makeDisks();
  rig_->mkfs("target", 1, "ext4");
  rig_->mount("target", 1, work_.path() / "mounted");
  expectRefusedWith("mounted");
}

// Restores one ext4 partition from a service started with `serviceFaults`.
class FailingRestore : public ServerRestoreEndToEnd {
protected:
  // With `oldVolume`, the target already holds a partition in the same place
  // with a file system of its own.
  std::string startRestore(std::vector<std::string> serviceFaults, bool oldVolume = false) {
    makeRig({{"source", "usb", "64M"}, {"target", "internal", "64M"}});
    rig_->partition("source", "label: dos\nsize=40M, type=83\n");
    rig_->mkfs("source", 1, "ext4");
    rig_->fill("source", 1);
    if (oldVolume) {
      rig_->partition("target", "label: dos\nsize=40M, type=83\n");
      rig_->mkfs("target", 1, "vfat");
      EXPECT_NE(fileSystemOn(rig_->partition("target", 1)), "");
    }
    capture("source", 1, "C", kTime);
    startService(std::move(serviceFaults));
    const std::string c = keyOf(loginAndListImages("pc1"), "C");
    send(selectRequest({c}));
    EXPECT_EQ(receive(60s)["error"].asString(), "0");
    send(restoreRequest(rig_->device("target"), {c}));
    return c;
  }

  // Follows the restore until drive C shows a percentage.
  void waitForPercentage() {
    bool sawPercentage = false;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!sawPercentage && std::chrono::steady_clock::now() < deadline) {
      const Json::Value message = receive(30s);
      if (message.isNull()) {
        break;
      }
      const std::string status = statusOf(message, "C");
      ASSERT_NE(status, "SUCCESS");
      sawPercentage = !status.empty() && status.back() == '%';
    }
    ASSERT_TRUE(sawPercentage) << agent_->log();
  }

  // Whatever arrives within `wait` must not report the drive restored, and
  // no session may be left to answer "-u".
  void expectSessionEndedWithoutSuccess(std::chrono::seconds wait) {
    send(R"({"op": "-u"})");
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::optional<std::string> text = client_.receiveText(1s);
      if (!text) {
        continue;
      }
      EXPECT_EQ(text->find("SUCCESS"), std::string::npos) << *text;
      EXPECT_EQ(text->find("login_success"), std::string::npos) << *text;
      EXPECT_EQ(text->find("\"-u\""), std::string::npos) << *text;
    }
  }
};

TEST_F(FailingRestore, CancelDuringTheDownloadIsAcknowledgedAndEndsTheSession) {
  // The stream stalls after 1 MiB, so the download is still running when the
  // user cancels; meanwhile its progress shows as a percentage.
  startRestore({"--stall-after", "1048576"});
  waitForPercentage();
  send(R"({"op": "cancel-restore"})");
  const Json::Value ack = receiveOp("cancel-restore");
  EXPECT_EQ(ack["msg"].asString(), "success");
  expectSessionEndedWithoutSuccess(5s);
  EXPECT_TRUE(agent_->waitForLog("cancelrestore is set", 1s));
}

// The stream stalls after 2 MiB: the old volume's signature is gone, the new
// volume's start is held back, and killing the agent leaves it so.
TEST_F(FailingRestore, AgentKilledMidImageLeavesNoFileSystemOnThePartition) {
  startRestore({"--stall-after", "2097152"}, true);
  waitForPercentage();
  const std::string partition = rig_->partition("target", 1);
  EXPECT_EQ(fileSystemOn(partition), "") << "while the image is being written\n" << agent_->log();
  agent_.reset();
  EXPECT_EQ(fileSystemOn(partition), "") << "after the agent was killed";
}

TEST_F(FailingRestore, StreamCutOnceIsResumedAndTheDriveRestoredWhole) {
  startRestore({"--cut-once-after", "1048576"});
  const std::vector<Json::Value> messages = followRestore({"C"}, 180s);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(statusOf(messages.back(), "C"), "SUCCESS") << agent_->log();
  const long long size = deviceSize(rig_->partition("source", 1));
  ASSERT_GT(size, 0);
  expectSameBytes(rig_->partition("source", 1), rig_->partition("target", 1), 0, size);
  EXPECT_TRUE(agent_->waitForLog("resuming at byte", 1s));
  EXPECT_FALSE(agent_->waitForLog("resuming at byte", 1s, 2)) << "one cut, one resume";
}

TEST_F(FailingRestore, ServiceClosingEveryStreamMarksTheDriveFailedAfterBoundedResumes) {
  // Each stream brings 256 KiB of the partition's 4 MiB and more of data:
  // five resumes cannot finish it.
  startRestore({"--close-after", "262144"});
  const std::vector<Json::Value> messages = followRestore({"C"}, 120s);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(statusOf(messages.back(), "C"), "ERROR");
  expectSessionEndedWithoutSuccess(5s);
}

TEST_F(FailingRestore, ServiceStallingMidImageMarksTheDriveFailedAfterTheReadTimeOut) {
  // The download gives up after 180 s without data.
  startRestore({"--stall-after", "1048576"});
  const std::vector<Json::Value> messages = followRestore({"C"}, 260s);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(statusOf(messages.back(), "C"), "ERROR");
  expectSessionEndedWithoutSuccess(5s);
}

}  // namespace
