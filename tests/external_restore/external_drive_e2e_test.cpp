// The external-drive restore against the real agent and restore tool, on rig
// disks: a USB drive holding backups captured from a real source disk, and
// blank internal targets. The restores run with the project's own tool and
// with a stand-in tool that keeps only the tool's contract, with file formats
// of its own.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "common/agent_process.h"
#include "common/temp_dir.h"
#include "rig/rig_fixture.h"
#include "ui_session.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kReply = 30s;
constexpr auto kRestore = 120s;

const std::string kVhdPoint = "170315-1030";
const std::string kRawPoint = "170316-1100";
const std::string kLonePoint = "170317-0900";
const std::string kContractPoint = "170318-1200";

// Source disk: SYSVOL, ESP and C partitions as a GPT disk; the largest end
// sector is 2048 + 96 MiB / 512 - 1.
constexpr const char* kSourceTable =
    "label: gpt\n"
    "size=16M\n"
    "size=32M, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n"
    "size=48M\n";
constexpr int64_t kPartitionBytes[] = {16 << 20, 32 << 20, 48 << 20};
constexpr int64_t kSourceBytes = (2048 + 96 * 2048 - 1) * 512LL;

struct RunResult {
  int status;
  std::string output;
};

RunResult run(const std::vector<std::string>& argv) {
  const RigRun result = runProgram(argv);
  return {result.status, result.output};
}

// Mount point -> (source, type) from /proc/mounts.
struct Mount {
  std::string source;
  std::string target;
  std::string type;
  std::string options;

  bool readOnly() const { return ("," + options + ",").find(",ro,") != std::string::npos; }
};

std::vector<Mount> mounts() {
  std::vector<Mount> result;
  std::ifstream in("/proc/mounts");
  Mount mount;
  std::string rest;
  while (in >> mount.source >> mount.target >> mount.type >> mount.options && std::getline(in, rest)) {
    result.push_back(mount);
  }
  return result;
}

std::vector<Mount> mountsOf(const std::string& device) {
  std::vector<Mount> result;
  for (const Mount& mount : mounts()) {
    if (mount.source == device) {
      result.push_back(mount);
    }
  }
  return result;
}

bool sameBytes(const std::string& a, const std::string& b, int64_t length) {
  std::ifstream first(a, std::ios::binary);
  std::ifstream second(b, std::ios::binary);
  std::vector<char> x(1 << 20);
  std::vector<char> y(1 << 20);
  for (int64_t done = 0; done < length;) {
    const auto step = static_cast<std::streamsize>(std::min<int64_t>(x.size(), length - done));
    first.read(x.data(), step);
    second.read(y.data(), step);
    if (first.gcount() != step || second.gcount() != step || !std::equal(x.begin(), x.begin() + step, y.begin())) {
      return false;
    }
    done += step;
  }
  return true;
}

bool allZero(const std::string& device, int64_t length) {
  std::ifstream in(device, std::ios::binary);
  std::vector<char> block(1 << 20);
  for (int64_t done = 0; done < length;) {
    const auto step = static_cast<std::streamsize>(std::min<int64_t>(block.size(), length - done));
    in.read(block.data(), step);
    if (in.gcount() != step || std::any_of(block.begin(), block.begin() + step, [](char c) { return c != 0; })) {
      return false;
    }
    done += step;
  }
  return true;
}

// sfdisk's dump of the table with the device name taken out, so that two
// disks with the same table compare equal.
std::string tableOf(const std::string& device) {
  std::string dump = run({"sfdisk", "-d", device}).output;
  return std::regex_replace(dump, std::regex(device), "DISK");
}

// The rig, the captured backups and the names of everything they need; built
// once for the suite because capturing takes a while.
struct Drives {
  // Declared before the rig, so the rig unmounts what lies in it before it is
  // removed.
  TempDir scratch;
  std::unique_ptr<Rig> rig;
  std::string premountDir;
  // "<stamp>_Image_<volume>" -> image path below the backup folder, relative
  // to its partition's root.
  std::string vhdImage(const std::string& volume) const {
    return "TarnbyBMR_Backups/pc1/" + kVhdPoint + "_Image_" + volume + "/" + kVhdPoint + "_Image_" + volume + "_disk0.vhd";
  }
  std::string rawImage(const std::string& volume) const {
    return "TarnbyBMR_Backups/pc1/" + kRawPoint + "_Image_" + volume + "/" + kRawPoint + "_Image_" + volume + "_disk0.raw";
  }
  // Captured by the stand-in tool, in its own formats.
  std::string contractImage(const std::string& volume) const {
    return "TarnbyBMR_Backups/pc1/" + kContractPoint + "_Image_" + volume + "/" + kContractPoint + "_Image_" + volume +
           "_disk0.raw";
  }
  std::string loneImage() const {
    return "TarnbyBMR_Backups/pc1/" + kLonePoint + "_Image_C/" + kLonePoint + "_Image_C_disk0.raw";
  }
  std::string brokenImage() const {
    return "TarnbyBMR_Backups/pc1/180101-0000_Image_D/180101-0000_Image_D_disk0.vhd";
  }
  // On the ext4 partition: an image whose partition-table file is a link to
  // `outsideRecord`, a real record off the drive.
  std::string linkedImage() const {
    return "TarnbyBMR_Backups/pc3/170319-0800_Image_C/170319-0800_Image_C_disk0.raw";
  }
  std::string outsideRecord() const { return (scratch.path() / "outside/c.raw.mbr").string(); }
  std::string kname(int partition) const { return fs::path(rig->partition("usb", partition)).filename().string(); }
};

Drives* drives = nullptr;
// Why the drives could not be built; not tried again for the next test.
std::string buildFailure;

void capture(const std::string& disk, int partition, const fs::path& image, const std::string& tool = RESTORE_TOOL_BINARY) {
  fs::create_directories(image.parent_path());
  const RunResult result = run({tool, "--create-image", "--disk", disk, "--partition",
                                std::to_string(partition), "--device-number", "0", "-o", image.string()});
  if (result.status != 0 || !fs::exists(image.string() + ".mbr")) {
    throw std::runtime_error("capture of " + image.string() + " failed: " + result.output);
  }
}

void buildDrives() {
  auto made = std::make_unique<Drives>();
  made->rig = std::make_unique<Rig>(std::vector<RigDiskSpec>{
      {"source", "internal", "256M", "Source Disk"},
      {"usb", "usb", "600M", "Backup Stick"},
      {"target_vhd", "internal", "256M", "Blank One"},
      {"target_raw", "internal", "256M", "Blank Two"},
      {"target_cancel", "internal", "256M", "Blank Three"},
      {"target_contract", "internal", "256M", "Blank Four"},
      {"target_silent", "internal", "256M", "Blank Five"}});
  Rig& rig = *made->rig;

  rig.partition("source", kSourceTable);
  rig.mkfs("source", 1, "ntfs", "SYSVOL");
  // vfat would be the real thing, but this kernel cannot mount it; the
  // restore copies bytes whatever the file system.
  rig.mkfs("source", 2, "ext4", "ESP");
  rig.mkfs("source", 3, "ntfs", "C");
  for (int n = 1; n <= 3; ++n) {
    rig.fill("source", n);
  }

  rig.partition("usb", "label: gpt\nsize=200M\nsize=250M\nsize=20M\nsize=20M\nsize=40M\n");
  rig.mkfs("usb", 1, "ntfs", "BACKUPS");
  rig.mkfs("usb", 2, "btrfs", "MORE");
  rig.mkfs("usb", 3, "ntfs", "EMPTY");
  rig.mkfs("usb", 4, "ext4", "OTHER");
  rig.mkfs("usb", 5, "ext4", "EXTBACKUPS");

  const fs::path mountDir = made->scratch.path() / "populate";
  fs::create_directories(mountDir);
  const std::string source = rig.device("source");
  const std::vector<std::pair<std::string, int>> volumes = {{"SYSVOL", 1}, {"ESP", 2}, {"C", 3}};

  rig.mount("usb", 1, mountDir);
  for (const auto& [volume, partition] : volumes) {
    capture(source, partition, mountDir / made->vhdImage(volume));
    capture(source, partition, mountDir / made->contractImage(volume), CONTRACT_TOOL);
  }
  // Unreadable as an image, with a real partition table beside it.
  const fs::path broken = mountDir / made->brokenImage();
  fs::create_directories(broken.parent_path());
  std::ofstream(broken) << "this is not a disk image";
  fs::copy_file(mountDir / (made->vhdImage("C") + ".mbr"), broken.string() + ".mbr");
  fs::create_directories(fs::path(made->outsideRecord()).parent_path());
  fs::copy_file(mountDir / (made->vhdImage("C") + ".mbr"), made->outsideRecord());
  rig.umount(mountDir);

  rig.mount("usb", 2, mountDir);
  for (const auto& [volume, partition] : volumes) {
    capture(source, partition, mountDir / made->rawImage(volume));
  }
  capture(source, 3, mountDir / made->loneImage());
  rig.umount(mountDir);

  rig.mount("usb", 5, mountDir);
  fs::create_directories(mountDir / "TarnbyBMR_Backups/pc2");
  // A link that leads off the drive: the search must not follow it.
  fs::create_directory_symlink("/", mountDir / "TarnbyBMR_Backups/pc2/root");
  const fs::path linked = mountDir / made->linkedImage();
  fs::create_directories(linked.parent_path());
  std::ofstream(linked) << "an image whose table lies elsewhere";
  fs::create_symlink(made->outsideRecord(), linked.string() + ".mbr");
  rig.umount(mountDir);

  made->premountDir = (made->scratch.path() / "premounted").string();
  fs::create_directories(made->premountDir);
  rig.mount("usb", 4, made->premountDir);
  drives = made.release();
}

// Unmounts what the agent mounted under /mnt and removes the mount folders
// it made there for the USB partitions, so that each test starts alike.
void releaseAgentMounts() {
  if (drives == nullptr) {
    return;
  }
  for (int n : {1, 2, 3, 5}) {
    for (const Mount& mount : mountsOf(drives->rig->partition("usb", n))) {
      if (mount.target.rfind("/mnt/", 0) == 0) {
        run({"umount", mount.target});
      }
    }
  }
  for (int n = 1; n <= 5; ++n) {
    const std::regex folder(drives->kname(n) + "_[0-9]{2}_[0-9]{2}_[0-9]{2}");
    for (const auto& entry : fs::directory_iterator("/mnt")) {
      if (std::regex_match(entry.path().filename().string(), folder)) {
        std::error_code ignored;
        fs::remove(entry.path(), ignored);  // only when empty
      }
    }
  }
}

// The drives serve every suite below and go once all have run.
class DrivesTeardown : public ::testing::Environment {
public:
  void TearDown() override {
    releaseAgentMounts();
    if (drives != nullptr) {
      delete drives;  // the rig unmounts and detaches everything
      drives = nullptr;
    }
  }
};
[[maybe_unused]] ::testing::Environment* const drivesTeardown =
    ::testing::AddGlobalTestEnvironment(new DrivesTeardown);

class ExternalDrive : public ::testing::Test {
protected:
  // The restore tool the agent finds in its working directory.
  virtual std::string toolBinary() const { return RESTORE_TOOL_BINARY; }

  void SetUp() override {
    SKIP_WITHOUT_RIG();
    if (drives == nullptr && buildFailure.empty()) {
      try {
        buildDrives();
      } catch (const std::exception& error) {
        buildFailure = error.what();
      }
    }
    ASSERT_NE(drives, nullptr) << buildFailure;
    releaseAgentMounts();
    startAgent(work_.path());
  }

  void TearDown() override {
    ui_.reset();
    agent_.reset();
    releaseAgentMounts();
  }

  void startAgent(const fs::path& dir) {
    if (!fs::exists(dir / "keelbackrestoreclient")) {
      fs::create_symlink(toolBinary(), dir / "keelbackrestoreclient");
    }
    AgentOptions options;
    options.workingDirectory = dir;
    options.pathPrefix = Rig::binDir().string();
    options.environment = {{"RIG_STATE", drives->rig->state().string()}};
    agent_ = std::make_unique<AgentProcess>(options);
    ui_ = std::make_unique<UiSession>();
    ASSERT_TRUE(ui_->connect()) << ui_->lastError();
    Json::Value init;
    init["op"] = "init";
    init["mode"] = "EXTERNAL";
    ASSERT_TRUE(ui_->send(init));
  }

  // Sends "-m" and returns the partitions of the USB disk by kernel name.
  std::map<std::string, Json::Value> mountDrives() {
    Json::Value m;
    m["op"] = "-m";
    EXPECT_TRUE(ui_->send(m));
    const auto reply = ui_->waitForOp("-m", kReply);
    std::map<std::string, Json::Value> partitions;
    if (!reply) {
      ADD_FAILURE() << "no -m reply; agent log:\n" << agent_->log();
      return partitions;
    }
    EXPECT_TRUE((*reply)["Result"].isArray()) << reply->toStyledString();
    for (const Json::Value& disk : (*reply)["Result"]) {
      for (const Json::Value& partition : disk["partitions"]) {
        partitions[partition["name"].asString()] = partition;
      }
    }
    return partitions;
  }

  std::string backupFolderOn(int partition) {
    return mountDrives()[drives->kname(partition)]["MOUNTPOINT"].asString();
  }

  // Root of the partition whose backup folder is `folder`.
  static std::string rootOf(const std::string& folder) {
    return folder.substr(0, folder.size() - std::string("/TarnbyBMR_Backups").size());
  }

  // Asks for the disk report of `images`, as the user interface does before
  // every restore: the agent notes the disks it offers as targets.
  Json::Value report(const std::vector<std::string>& images) {
    Json::Value list(Json::arrayValue);
    for (const std::string& image : images) {
      list.append(image);
    }
    EXPECT_TRUE(ui_->send(request("-i", list)));
    const auto reply = ui_->waitForOp("-i", kReply);
    EXPECT_TRUE(reply.has_value()) << agent_->log();
    return reply.value_or(Json::Value());
  }

  // Puts a shell script in the place of the tool the agent runs; the agent
  // looks the tool up at every use, so the next command runs the script.
  void replaceTool(const std::string& script) {
    const fs::path tool = work_.path() / "keelbackrestoreclient";
    fs::remove(tool);
    std::ofstream(tool) << "#!/bin/sh\n" << script;
    fs::permissions(tool, fs::perms::owner_all);
  }

  // Restores `images` onto `target` after their disk report and waits for
  // the run to end.
  void restore(const std::string& target, const std::vector<std::string>& images) {
    report(images);
    Json::Value r;
    r["op"] = "-r";
    r["restorepoints"][0]["out"] = target;
    for (const std::string& image : images) {
      r["restorepoints"][0]["in"].append(image);
    }
    ASSERT_TRUE(ui_->send(r));
    ASSERT_TRUE(waitForLogWhileListening("Restore over ", kRestore)) << agent_->log();
    // The last progress message is pushed before the run ends; let it arrive.
    ui_->waitFor([](const Json::Value&) { return false; }, 1s);
  }

  // Waits for a log line while the user interface keeps reading, as a page
  // does: it answers the agent's pings, so a long run does not count as a
  // peer that went away.
  bool waitForLogWhileListening(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!agent_->waitForLog(text, 0ms)) {
      if (std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
      ui_->waitFor([](const Json::Value&) { return false; }, 500ms);
    }
    return true;
  }

  Json::Value finalProgress() {
    const auto history = ui_->progressHistory();
    return history.empty() ? Json::Value() : history.back();
  }

  // Index of the first progress message for which `holds` is true; -1 if none.
  int firstProgress(const std::function<bool(const Json::Value&)>& holds) {
    const auto history = ui_->progressHistory();
    for (size_t i = 0; i < history.size(); ++i) {
      if (holds(history[i])) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  void expectEqualToSource(const std::string& target) {
    Rig& rig = *drives->rig;
    EXPECT_EQ(tableOf(rig.device(target)), tableOf(rig.device("source")));
    for (int n = 1; n <= 3; ++n) {
      EXPECT_TRUE(sameBytes(rig.partition("source", n), rig.partition(target, n), kPartitionBytes[n - 1]))
          << "partition " << n << " of " << target;
    }
  }

  TempDir work_;
  std::unique_ptr<AgentProcess> agent_;
  std::unique_ptr<UiSession> ui_;
};

TEST_F(ExternalDrive, MountFindsBackupFoldersAndUnmountsWhatHoldsNone) {
  Rig& rig = *drives->rig;
  const auto partitions = mountDrives();
  ASSERT_EQ(partitions.size(), 5u) << agent_->log();

  // NTFS goes in through ntfs-3g (a FUSE block file system), btrfs as btrfs.
  const std::string ntfsFolder = partitions.at(drives->kname(1))["MOUNTPOINT"].asString();
  const std::string btrfsFolder = partitions.at(drives->kname(2))["MOUNTPOINT"].asString();
  EXPECT_TRUE(std::regex_match(ntfsFolder, std::regex("/mnt/" + drives->kname(1) +
                                                      "_[0-9]{2}_[0-9]{2}_[0-9]{2}/TarnbyBMR_Backups")))
      << ntfsFolder;
  EXPECT_TRUE(std::regex_match(btrfsFolder, std::regex("/mnt/" + drives->kname(2) +
                                                       "_[0-9]{2}_[0-9]{2}_[0-9]{2}/TarnbyBMR_Backups")))
      << btrfsFolder;
  const auto ntfsMounts = mountsOf(rig.partition("usb", 1));
  ASSERT_EQ(ntfsMounts.size(), 1u);
  EXPECT_EQ(ntfsMounts[0].type, "fuseblk");
  EXPECT_EQ(ntfsMounts[0].target + "/TarnbyBMR_Backups", ntfsFolder);
  const auto btrfsMounts = mountsOf(rig.partition("usb", 2));
  ASSERT_EQ(btrfsMounts.size(), 1u);
  EXPECT_EQ(btrfsMounts[0].type, "btrfs");
  // Any other file system with the type mount detects.
  const std::string ext4Folder = partitions.at(drives->kname(5))["MOUNTPOINT"].asString();
  EXPECT_TRUE(std::regex_match(ext4Folder, std::regex("/mnt/" + drives->kname(5) +
                                                      "_[0-9]{2}_[0-9]{2}_[0-9]{2}/TarnbyBMR_Backups")))
      << ext4Folder << "\n" << agent_->log();
  const auto ext4Mounts = mountsOf(rig.partition("usb", 5));
  ASSERT_EQ(ext4Mounts.size(), 1u);
  EXPECT_EQ(ext4Mounts[0].type, "ext4");
  // Backups are only ever read.
  for (const auto& mount : {ntfsMounts[0], btrfsMounts[0], ext4Mounts[0]}) {
    EXPECT_TRUE(mount.readOnly()) << mount.target << " " << mount.options;
  }

  // Mounted, searched and unmounted again; its mount folder stays.
  EXPECT_EQ(partitions.at(drives->kname(3))["MOUNTPOINT"].asString(), "");
  EXPECT_TRUE(mountsOf(rig.partition("usb", 3)).empty());
  bool folderLeft = false;
  for (const auto& entry : fs::directory_iterator("/mnt")) {
    folderLeft = folderLeft || entry.path().filename().string().rfind(drives->kname(3) + "_", 0) == 0;
  }
  EXPECT_TRUE(folderLeft);

  // Mounted before the request: searched where it is and left mounted.
  EXPECT_EQ(partitions.at(drives->kname(4))["MOUNTPOINT"].asString(), "");
  const auto premounted = mountsOf(rig.partition("usb", 4));
  ASSERT_EQ(premounted.size(), 1u);
  EXPECT_EQ(premounted[0].target, drives->premountDir);

  // Asked again: the found folders are where they were, nothing mounted twice.
  const auto again = mountDrives();
  EXPECT_EQ(again.at(drives->kname(1))["MOUNTPOINT"].asString(), ntfsFolder);
  EXPECT_EQ(mountsOf(rig.partition("usb", 1)).size(), 1u);
  EXPECT_EQ(mountsOf(rig.partition("usb", 2)).size(), 1u);
}

TEST_F(ExternalDrive, BrowsesTheCatalogueAndReportsSourceAgainstTargets) {
  const auto partitions = mountDrives();
  const std::string ntfsFolder = partitions.at(drives->kname(1))["MOUNTPOINT"].asString();
  const std::string btrfsFolder = partitions.at(drives->kname(2))["MOUNTPOINT"].asString();
  ASSERT_FALSE(ntfsFolder.empty());
  ASSERT_FALSE(btrfsFolder.empty());

  ASSERT_TRUE(ui_->send(request("-u", listOf(ntfsFolder))));
  auto reply = ui_->waitForOp("-u", kReply);
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ((*reply)["Result"].size(), 1u);
  EXPECT_EQ((*reply)["Result"][0].asString(), "pc1");

  ASSERT_TRUE(ui_->send(request("-e", listOf(btrfsFolder + "/pc1"))));
  reply = ui_->waitForOp("-e", kReply);
  ASSERT_TRUE(reply.has_value());
  const Json::Value& points = (*reply)["Result"];
  ASSERT_EQ(points.size(), 2u) << reply->toStyledString();
  EXPECT_EQ(points[0]["letter"].asString(), "C:");
  EXPECT_EQ(points[0]["backupdate"].asString(), "2017-03-16 11:00");
  EXPECT_EQ(points[0]["path"].asString(), rootOf(btrfsFolder) + "/" + drives->rawImage("C"));
  EXPECT_EQ(points[1]["backupdate"].asString(), "2017-03-17 09:00");

  const std::string vhdC = rootOf(ntfsFolder) + "/" + drives->vhdImage("C");
  ASSERT_TRUE(ui_->send(request("-c", vhdC)));
  reply = ui_->waitForOp("-c", kReply);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ((*reply)["Result"].asString(), "ESPVOL-Present");
  ASSERT_TRUE(ui_->send(request("-c", rootOf(btrfsFolder) + "/" + drives->loneImage())));
  reply = ui_->waitForOp("-c", kReply);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ((*reply)["Result"].asString(), "ESPVOL-Absent");

  // Two images of the same source disk: one source of the real size, and the
  // four internal rig disks as targets.
  Json::Value images(Json::arrayValue);
  images.append(vhdC);
  images.append(rootOf(btrfsFolder) + "/" + drives->rawImage("C"));
  ASSERT_TRUE(ui_->send(request("-i", images)));
  reply = ui_->waitForOp("-i", kReply);
  ASSERT_TRUE(reply.has_value()) << agent_->log();
  EXPECT_EQ((*reply)["error"].asString(), "0") << reply->toStyledString();
  ASSERT_EQ((*reply)["SourceDisk"].size(), 1u);
  EXPECT_EQ((*reply)["SourceDisk"][0]["Name"].asString(), "Disk 0");
  EXPECT_EQ((*reply)["SourceDisk"][0]["Size"].asInt64(), kSourceBytes);
  EXPECT_EQ((*reply)["SourceDisk"][0]["Drives"], images);
  EXPECT_EQ((*reply)["TargetDrives"].size(), 6u);

  // A client that asks each question in a session of its own (restorectl)
  // still browses what the last "-m" found.
  Json::Value init;
  init["op"] = "init";
  init["mode"] = "EXTERNAL";
  ASSERT_TRUE(ui_->send(init));
  ASSERT_TRUE(ui_->send(request("-u", listOf(ntfsFolder))));
  reply = ui_->waitForOp("-u", kReply);
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ((*reply)["Result"].size(), 1u) << agent_->log();
  EXPECT_EQ((*reply)["Result"][0].asString(), "pc1");
}

TEST_F(ExternalDrive, TheReportNeverFollowsAPartitionTableFileLinkedOffTheDrive) {
  const auto partitions = mountDrives();
  const std::string ntfsFolder = partitions.at(drives->kname(1))["MOUNTPOINT"].asString();
  const std::string ext4Folder = partitions.at(drives->kname(5))["MOUNTPOINT"].asString();
  ASSERT_FALSE(ntfsFolder.empty());
  ASSERT_FALSE(ext4Folder.empty());
  // The tool the agent runs notes every argument it is given.
  const fs::path given = work_.path() / "tool-arguments";
  replaceTool("printf '%s\\n' \"$@\" >>'" + given.string() + "'\nexec '" + RESTORE_TOOL_BINARY + "' \"$@\"\n");
  const std::string normal = rootOf(ntfsFolder) + "/" + drives->vhdImage("C");
  const std::string linked = rootOf(ext4Folder) + "/" + drives->linkedImage();

  const Json::Value reply = report({linked, normal});
  EXPECT_EQ(reply["error"].asString(), "0") << reply.toStyledString();
  ASSERT_EQ(reply["SourceDisk"].size(), 1u) << reply.toStyledString();
  EXPECT_EQ(reply["SourceDisk"][0]["Size"].asInt64(), kSourceBytes);
  EXPECT_EQ(reply["SourceDisk"][0]["Drives"].toStyledString(), listOf(normal).toStyledString())
      << "the linked image was reported";
  std::ifstream in(given);
  std::ostringstream read;
  read << in.rdbuf();
  const std::string arguments = read.str();
  EXPECT_NE(arguments.find(normal + ".mbr"), std::string::npos) << arguments;
  EXPECT_EQ(arguments.find(linked), std::string::npos) << arguments;
  EXPECT_EQ(arguments.find(drives->outsideRecord()), std::string::npos) << arguments;
  EXPECT_TRUE(agent_->waitForLog(linked + ".mbr is missing or lies outside the backup folders", 0ms))
      << agent_->log();
}

// The same restore through each tool: the agent relies on nothing of a tool
// but its contract.
struct ToolCase {
  const char* name;
  const char* binary;
  const char* target;
  std::string (Drives::*image)(const std::string& volume) const;
};

void PrintTo(const ToolCase& tool, std::ostream* out) { *out << tool.name; }

class EveryTool : public ExternalDrive, public ::testing::WithParamInterface<ToolCase> {
protected:
  std::string toolBinary() const override { return GetParam().binary; }
};

INSTANTIATE_TEST_SUITE_P(Tools, EveryTool,
                         ::testing::Values(ToolCase{"Own", RESTORE_TOOL_BINARY, "target_vhd", &Drives::vhdImage},
                                           ToolCase{"Contract", CONTRACT_TOOL, "target_contract",
                                                    &Drives::contractImage}),
                         [](const ::testing::TestParamInfo<ToolCase>& tool) { return std::string(tool.param.name); });

TEST_P(EveryTool, RestoresAVolumeSetInOrderOntoABlankDisk) {
  // The partitions that the agent mounts itself; the fourth is the test's.
  const auto usbBytes = [] {
    std::string sums;
    for (int n : {1, 2, 3, 5}) {
      sums += run({"sha256sum", drives->rig->partition("usb", n)}).output;
    }
    return sums;
  };
  const std::string usbBefore = usbBytes();
  const std::string folder = backupFolderOn(1);
  ASSERT_FALSE(folder.empty());
  const std::string image = rootOf(folder) + "/" + (*drives.*GetParam().image)("C");
  const Json::Value sizes = report({image});
  ASSERT_EQ(sizes["SourceDisk"].size(), 1u) << sizes.toStyledString();
  EXPECT_EQ(sizes["SourceDisk"][0]["Size"].asInt64(), kSourceBytes);
  restore(drives->rig->device(GetParam().target), {image});
  releaseAgentMounts();
  EXPECT_EQ(usbBytes(), usbBefore) << "a restore must never change its own backups";

  const Json::Value last = finalProgress();
  EXPECT_EQ(last["SYSVOL"].asString(), "SUCCESS") << last.toStyledString();
  EXPECT_EQ(last["ESPVOL"].asString(), "SUCCESS");
  EXPECT_EQ(last["C"].asString(), "SUCCESS");
  EXPECT_EQ(last.size(), 3u);

  // SYSVOL ends before ESPVOL starts, ESPVOL before C.
  const auto started = [](const char* key) {
    return [key](const Json::Value& p) { return p.isObject() && !p[key].asString().empty(); };
  };
  const auto done = [](const char* key) {
    return [key](const Json::Value& p) { return p.isObject() && p[key].asString() == "SUCCESS"; };
  };
  const int sysvolDone = firstProgress(done("SYSVOL"));
  const int espStarted = firstProgress(started("ESPVOL"));
  const int espDone = firstProgress(done("ESPVOL"));
  const int cStarted = firstProgress(started("C"));
  ASSERT_GE(sysvolDone, 0);
  EXPECT_LT(sysvolDone, espStarted);
  EXPECT_LT(espDone, cStarted);

  expectEqualToSource(GetParam().target);
}

TEST_F(ExternalDrive, AToolErrorMarksItsKeyAndTheRawSetStillRestores) {
  const std::string ntfs = backupFolderOn(1);
  const auto partitions = mountDrives();
  const std::string btrfs = partitions.at(drives->kname(2))["MOUNTPOINT"].asString();
  ASSERT_FALSE(ntfs.empty());
  ASSERT_FALSE(btrfs.empty());
  // A path that a shell would run; it must reach the tool as a name.
  const fs::path marker = work_.path() / "pwned";
  const std::string hostile = work_.path().string() + "/x$(touch " + marker.string() + ")`touch " +
                              marker.string() + "`;touch " + marker.string() + "/180101-0000_Image_E/e.vhd";

  restore(drives->rig->device("target_raw"),
          {rootOf(ntfs) + "/" + drives->brokenImage(), hostile, rootOf(btrfs) + "/" + drives->rawImage("C")});

  const Json::Value last = finalProgress();
  EXPECT_EQ(last["D"].asString(), "ERROR") << last.toStyledString();
  EXPECT_EQ(last["E"].asString(), "ERROR");
  EXPECT_EQ(last["SYSVOL"].asString(), "SUCCESS");
  EXPECT_EQ(last["ESPVOL"].asString(), "SUCCESS");
  EXPECT_EQ(last["C"].asString(), "SUCCESS");
  EXPECT_FALSE(fs::exists(marker));
  expectEqualToSource("target_raw");
}

TEST_F(ExternalDrive, ARestoreSentWhileNoSessionRunsNeverRestores) {
  const std::string folder = backupFolderOn(1);
  ASSERT_FALSE(folder.empty());
  const std::string target = drives->rig->device("target_cancel");
  const std::string before = run({"sha256sum", target}).output;
  Json::Value end;
  end["op"] = "-r";
  end["restorepoints"] = Json::Value(Json::arrayValue);
  ASSERT_TRUE(ui_->send(end));
  ASSERT_TRUE(agent_->waitForLog("Restore over ", kReply)) << agent_->log();

  // A double click: the same restore once more while no session runs.
  Json::Value r;
  r["op"] = "-r";
  r["restorepoints"][0]["out"] = target;
  r["restorepoints"][0]["in"].append(rootOf(folder) + "/" + drives->vhdImage("C"));
  ASSERT_TRUE(ui_->send(r));
  Json::Value init;
  init["op"] = "init";
  init["mode"] = "EXTERNAL";
  ASSERT_TRUE(ui_->send(init));
  Json::Value m;
  m["op"] = "-m";
  ASSERT_TRUE(ui_->send(m));
  ASSERT_TRUE(ui_->waitForOp("-m", kReply).has_value()) << agent_->log();
  ui_->waitFor([](const Json::Value&) { return false; }, 3s);
  EXPECT_EQ(agent_->countInLog("Inside DoRestoreForList"), 0u) << agent_->log();
  EXPECT_EQ(run({"sha256sum", target}).output, before);
}

TEST_F(ExternalDrive, CancelEndsTheRunAfterTheCurrentImage) {
  // A tool that says 0% and then takes its time, so that the cancel arrives
  // while the first image is being written.
  TempDir slow;
  const fs::path wrapper = slow.write("keelbackrestoreclient",
                                      std::string("#!/bin/sh\n"
                                                  "if [ \"$1\" = --restore-image ]; then echo 'Restoring 0%'; sleep 2; fi\n"
                                                  "exec '") +
                                          RESTORE_TOOL_BINARY + "' \"$@\"\n");
  fs::permissions(wrapper, fs::perms::owner_all);
  ui_.reset();
  agent_.reset();
  startAgent(slow.path());

  const std::string folder = backupFolderOn(1);
  ASSERT_FALSE(folder.empty());
  report({rootOf(folder) + "/" + drives->vhdImage("C")});
  Json::Value r;
  r["op"] = "-r";
  r["restorepoints"][0]["out"] = drives->rig->device("target_cancel");
  r["restorepoints"][0]["in"].append(rootOf(folder) + "/" + drives->vhdImage("C"));
  ASSERT_TRUE(ui_->send(r));
  ASSERT_TRUE(ui_->waitFor([](const Json::Value& m) { return m["op"] == "-p" && m["progress"]["SYSVOL"] == "0%"; },
                           kRestore))
      << agent_->log();
  Json::Value cancel;
  cancel["op"] = "cancel-restore";
  ASSERT_TRUE(ui_->send(cancel));
  const auto ack = ui_->waitForOp("cancel-restore", kReply);
  ASSERT_TRUE(ack.has_value());
  EXPECT_EQ((*ack)["msg"].asString(), "success");
  ASSERT_TRUE(waitForLogWhileListening("Restore over ", kRestore)) << agent_->log();
  ui_->waitFor([](const Json::Value&) { return false; }, 1s);

  EXPECT_TRUE(agent_->waitForLog("Restore is cancelled... ", 0ms));
  const Json::Value last = finalProgress();
  EXPECT_EQ(last["SYSVOL"].asString(), "0%") << "the line read after the cancel is not sent";
  EXPECT_EQ(last["ESPVOL"].asString(), "");
  EXPECT_EQ(last["C"].asString(), "");
  Rig& rig = *drives->rig;
  EXPECT_TRUE(allZero(rig.partition("target_cancel", 2), kPartitionBytes[1]));
  EXPECT_TRUE(allZero(rig.partition("target_cancel", 3), kPartitionBytes[2]));
}

// Failures of a tool that keeps only the contract: the agent must see them
// from the contract's output lines and effects alone.
class ContractTool : public ExternalDrive {
protected:
  std::string toolBinary() const override { return CONTRACT_TOOL; }

  std::string contractSet() {
    const std::string folder = backupFolderOn(1);
    EXPECT_FALSE(folder.empty());
    return rootOf(folder) + "/" + drives->contractImage("C");
  }
};

TEST_F(ContractTool, AWriteErrorLineAndExitOneFailEachImageAndReachTheLog) {
  replaceTool(std::string("if [ \"$1\" = --restore-image ]; then\n"
                          "  echo 'Writing 10%'; echo \"Write error on device $4: No space left\"; exit 1\n"
                          "fi\n"
                          "exec '") +
              CONTRACT_TOOL + "' \"$@\"\n");
  restore(drives->rig->device("target_cancel"), {contractSet()});

  const Json::Value last = finalProgress();
  for (const char* key : {"SYSVOL", "ESPVOL", "C"}) {
    EXPECT_EQ(last[key].asString(), "ERROR") << key << "\n" << last.toStyledString();
  }
  // Each image got as far as its own write, past its table step.
  EXPECT_EQ(agent_->countInLog("Write error on device " + drives->rig->device("target_cancel")), 3u)
      << agent_->log();
}

TEST_F(ContractTool, ATableStepThatLeavesTheTargetBlankFailsBeforeAnyImageByte) {
  const std::string target = drives->rig->device("target_silent");
  // Writes the scratch tables the agent learns from, but nothing onto the
  // target, and still exits 0 without a word.
  replaceTool("if [ \"$1\" = --restore-mbr ] && [ \"$4\" = '" + target + "' ]; then exit 0; fi\n" +
              "exec '" + CONTRACT_TOOL + "' \"$@\"\n");
  const std::string before = run({"sha256sum", target}).output;
  restore(target, {contractSet()});

  const Json::Value last = finalProgress();
  for (const char* key : {"SYSVOL", "ESPVOL", "C"}) {
    EXPECT_EQ(last[key].asString(), "ERROR") << key << "\n" << last.toStyledString();
  }
  EXPECT_EQ(agent_->countInLog("--restore-image"), 0u) << agent_->log();
  EXPECT_EQ(run({"sha256sum", target}).output, before);
  // The user is told why, beside the drive's ERROR.
  bool told = false;
  for (const Json::Value& message : ui_->seen()) {
    told = told || (message["op"] == "refused" && message["key"] == "SYSVOL" && message["target"] == target &&
                    !message["reason"].asString().empty());
  }
  EXPECT_TRUE(told) << agent_->log();
}

// Needs no disks: session life without the rig.
class ExternalSessionLife : public ::testing::Test {
protected:
  void SetUp() override {
    AgentOptions options;
    options.workingDirectory = work_.path();
    options.pathPrefix = Rig::binDir().string();
    agent_ = std::make_unique<AgentProcess>(options);
    ASSERT_TRUE(ui_.connect()) << ui_.lastError();
    fs::create_directories(work_.path() / "B/pc1");
  }

  void init(const std::string& mode = "EXTERNAL") {
    Json::Value message;
    message["op"] = "init";
    message["mode"] = mode;
    ASSERT_TRUE(ui_.send(message));
  }

  Json::Value listRequest() { return request("-u", listOf((work_.path() / "B").string())); }

  TempDir work_;
  std::unique_ptr<AgentProcess> agent_;
  UiSession ui_;
};

TEST_F(ExternalSessionLife, SecondInitEndsTheFirstSessionAndStartsAFreshOne) {
  init();
  ASSERT_TRUE(ui_.send(listRequest()));
  ASSERT_TRUE(ui_.waitForOp("-u", kReply).has_value());
  init();
  ASSERT_TRUE(agent_->waitForLog("RestoreFromExternalDrive exiting...", kReply)) << agent_->log();
  ASSERT_TRUE(ui_.send(listRequest()));
  ASSERT_TRUE(ui_.waitForOp("-u", kReply).has_value());
  EXPECT_EQ(agent_->countInLog("RestoreFromExternalDrive exiting..."), 1u);
}

TEST_F(ExternalSessionLife, AMessageSentWhileNoSessionRunsIsNeverTaken) {
  init();
  Json::Value empty;
  empty["op"] = "-r";
  empty["restorepoints"] = Json::Value(Json::arrayValue);
  ASSERT_TRUE(ui_.send(empty));
  ASSERT_TRUE(agent_->waitForLog("Restore over ", kReply)) << agent_->log();
  ASSERT_TRUE(ui_.send(listRequest()));
  EXPECT_FALSE(ui_.waitForOp("-u", 1500ms).has_value());
  init();
  EXPECT_FALSE(ui_.waitForOp("-u", 1500ms).has_value()) << "the stale request was taken by the new session";
  ASSERT_TRUE(ui_.send(listRequest()));
  EXPECT_TRUE(ui_.waitForOp("-u", kReply).has_value()) << agent_->log();
}

TEST_F(ExternalSessionLife, LeavingAServerSessionWithoutServiceEndsItsPrompts) {
  init("BMR_SERVER");
  ASSERT_TRUE(ui_.waitFor([](const Json::Value& m) { return m["msg"] == "user_not_found"; }, kReply))
      << agent_->log();
  init();
  Json::Value m;
  m["op"] = "-m";
  ASSERT_TRUE(ui_.send(m));
  ASSERT_TRUE(ui_.waitForOp("-m", kReply).has_value()) << agent_->log();
  const size_t answered = ui_.seen().size();
  ui_.waitFor([](const Json::Value&) { return false; }, 5s);
  for (size_t i = answered; i < ui_.seen().size(); ++i) {
    EXPECT_NE(ui_.seen()[i]["msg"].asString(), "user_not_found") << "the old session still runs";
  }
  EXPECT_TRUE(agent_->waitForLog("Aborting restore for this thread...", 0ms)) << agent_->log();
}

TEST_F(ExternalSessionLife, TheLogNeverHoldsThePassword) {
  init();
  ASSERT_TRUE(ui_.send(std::string(R"({"op": "auth", "pass": "hunter2-secret"})")));
  ASSERT_TRUE(ui_.send(listRequest()));
  ASSERT_TRUE(ui_.waitForOp("-u", kReply).has_value());
  EXPECT_EQ(agent_->log().find("hunter2-secret"), std::string::npos) << agent_->log();
}

}  // namespace
