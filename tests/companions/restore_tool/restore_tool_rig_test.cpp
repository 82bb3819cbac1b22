// The restore tool as the agent runs it, on loop-device disks of the test rig.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "rig/rig_fixture.h"
#include "tool_runner.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t MiB = 1024 * 1024;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string bytes(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

std::string readDevice(const std::string& device, int64_t offset = 0, int64_t length = -1) {
  std::ifstream in(device, std::ios::binary);
  if (length < 0) {
    in.seekg(0, std::ios::end);
    length = static_cast<int64_t>(in.tellg()) - offset;
  }
  in.seekg(offset);
  std::string bytes(static_cast<size_t>(length), '\0');
  in.read(bytes.data(), length);
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

void writeDevice(const std::string& device, const std::string& bytes, int64_t offset = 0) {
  std::fstream out(device, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(offset);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.flush();
  ASSERT_TRUE(out.good()) << "cannot write " << device;
}

// Fills a device with a non-zero pattern, so that bytes the tool should have
// written (zeros included) cannot pass for untouched ones.
void scribble(const std::string& device, int64_t length) {
  writeDevice(device, std::string(static_cast<size_t>(length), '\xA5'));
}

// sfdisk's dump with the device names taken out: what two disks must share
// when one got the other's partition table.
std::string tableOf(const std::string& device) {
  const RigRun dump = runProgram({"sfdisk", "--dump", device});
  EXPECT_EQ(dump.status, 0) << dump.output;
  std::string table;
  std::istringstream lines(dump.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("device:", 0) == 0) {
      continue;
    }
    table += std::regex_replace(line, std::regex(device + "p?"), "DISK") + "\n";
  }
  return table;
}

void expectFailure(const ToolRun& run, const std::string& reason) {
  EXPECT_NE(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("error"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(reason), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("successfully"), std::string::npos) << run.out;
}

void expectRestoredOutput(const ToolRun& run) {
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const auto lines = run.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("successfully"), std::string::npos);
  ASSERT_GE(lines.size(), 2u);
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i].find("error"), std::string::npos) << lines[i];
    const std::string last_word = lines[i].substr(lines[i].find_last_of(' ') + 1);
    EXPECT_TRUE(std::regex_match(last_word, std::regex("[0-9]{1,3}%"))) << lines[i];
  }
  EXPECT_EQ(lines[lines.size() - 2], "Restoring image: 100%");
}

class RestoreToolOnDisks : public ::testing::Test {
protected:
  void SetUp() override { SKIP_WITHOUT_RIG(); }
  TempDir dir_;

  std::string capture(Rig& rig, const std::string& disk, int partition, const std::string& name, int device_number = 0) {
    const std::string image = (dir_.path() / name).string();
    const ToolRun run = runTool({"--create-image", "--disk", rig.device(disk), "--partition", std::to_string(partition),
                                 "--device-number", std::to_string(device_number), "-o", image});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(fs::exists(image + ".mbr"));
    return image;
  }
};

TEST_F(RestoreToolOnDisks, MbrTableCapturedAndWrittenBackMatches) {
  Rig rig({{"source", "internal", "128M"}, {"blank", "internal", "160M"}});
  rig.partition("source", "label: dos\nsize=40M, type=83, bootable\nsize=30M, type=7\nsize=20M, type=c\n");
  const std::string image = capture(rig, "source", 2, "p2.raw", 4);

  const ToolRun info = runTool({"--mbr-info", image + ".mbr"});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("\ndevice_number=4\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\npartition_number=2\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\nis_gpt=0\n"), std::string::npos) << info.out;

  const ToolRun run = runTool({"--restore-mbr", image + ".mbr", "-o", rig.device("blank")});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("successfully"), std::string::npos);
  EXPECT_EQ(tableOf(rig.device("blank")), tableOf(rig.device("source")));
  for (int n = 1; n <= 3; ++n) {
    EXPECT_TRUE(fs::exists(rig.partition("blank", n))) << "partition " << n << " did not appear";
  }
}

TEST_F(RestoreToolOnDisks, GptTableCapturedAndWrittenBackMatches) {
  Rig rig({{"source", "internal", "128M"}, {"blank", "internal", "128M"}});
  rig.partition("source", "label: gpt\nsize=16M, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\nsize=48M\nsize=24M\n");
  rig.mkfs("source", 2, "ext4", "system");
  // The blank disk once had other partitions; they must give way.
  rig.partition("blank", "label: dos\nsize=100M, type=83\n");
  const std::string image = capture(rig, "source", 2, "p2.vhd", 1);

  const ToolRun info = runTool({"--mbr-info", image + ".mbr"});
  EXPECT_NE(info.out.find("\nis_gpt=1\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\nvolume_name=system\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\nfsn=ext4\n"), std::string::npos) << info.out;

  const ToolRun run = runTool({"--restore-mbr", image + ".mbr", "-o", rig.device("blank")});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(tableOf(rig.device("blank")), tableOf(rig.device("source")));
  // Both GPT copies are in place: the backup header sits in the last sector.
  const int64_t size = 128 * MiB;
  EXPECT_EQ(readDevice(rig.device("blank"), size - 512, 8), "EFI PART");
  EXPECT_EQ(readDevice(rig.device("blank"), 512, 8), "EFI PART");
  EXPECT_TRUE(fs::exists(rig.partition("blank", 3)));
}

uint64_t littleEndian64(const std::string& bytes, size_t at) {
  uint64_t value = 0;
  for (size_t i = 8; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

// A Windows-like GPT disk (EFI system partition, MSR, data, recovery) onto a
// disk twice its size and onto a smaller one that still holds every
// partition: a table of the target itself, backup at its end, and every
// partition's bytes as on the source.
TEST_F(RestoreToolOnDisks, GptOntoALargerOrSmallerDiskIsATableOfThatDisk) {
  Rig rig({{"source", "internal", "64M"}, {"larger", "internal", "128M"}, {"smaller", "internal", "48M"}});
  rig.partition("source",
                "label: gpt\n"
                "size=8M, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n"
                "size=4M, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\n"
                "size=20M, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
                "size=6M, type=DE94BBA4-06D1-4D40-A16A-BFD50179D6AC\n");
  rig.mkfs("source", 1, "vfat", "ESP");
  rig.mkfs("source", 3, "ext4", "system");
  rig.fill("source", 3);
  std::vector<std::string> images;
  for (int n = 1; n <= 4; ++n) {
    images.push_back(capture(rig, "source", n, "p" + std::to_string(n) + ".raw", 0));
  }
  for (const auto& [name, size] : {std::pair{"larger", 128 * MiB}, std::pair{"smaller", 48 * MiB}}) {
    SCOPED_TRACE(name);
    const std::string target = rig.device(name);
    // The target's end holds a stale backup GPT of an earlier table.
    rig.partition(name, "label: gpt\nsize=2M\n");
    for (int n = 1; n <= 4; ++n) {
      const std::string& image = images[static_cast<size_t>(n - 1)];
      const ToolRun table = runTool({"--restore-mbr", image + ".mbr", "-o", target});
      ASSERT_EQ(table.status, 0) << table.out << table.err;
      expectRestoredOutput(runTool({"--restore-image", image, "-o", rig.partition(name, n)}));
    }
    const RigRun verify = runProgram({"sgdisk", "-v", target});
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("No problems found"), std::string::npos) << verify.output;
    const uint64_t lastLba = static_cast<uint64_t>(size) / 512 - 1;
    EXPECT_EQ(littleEndian64(readDevice(target, 512, 512), 32), lastLba);
    EXPECT_EQ(readDevice(target, static_cast<int64_t>(lastLba) * 512, 8), "EFI PART");
    for (int n = 1; n <= 4; ++n) {
      EXPECT_TRUE(readDevice(rig.partition(name, n)) == readDevice(rig.partition("source", n)))
          << "partition " << n << " differs";
    }
  }
}

// A table made for 512-byte sectors, MBR or GPT, is refused on a disk with
// 4096-byte blocks before its first byte changes.
TEST_F(RestoreToolOnDisks, TablesOfAnotherSectorSizeAreRefusedUntouched) {
  Rig rig({{"source", "internal", "16M"}, {"native4k", "internal", "32M@4096"}});
  const std::string target = rig.device("native4k");
  scribble(target, 32 * MiB);
  const std::string before = readDevice(target);
  for (const std::string label : {"dos", "gpt"}) {
    SCOPED_TRACE(label);
    rig.partition("source", "label: " + label + "\nsize=4M\n");
    const std::string image = capture(rig, "source", 1, label + ".raw");
    expectFailure(runTool({"--restore-mbr", image + ".mbr", "-o", target}), "logical blocks");
    EXPECT_TRUE(readDevice(target) == before) << "the 4096-byte disk was written to";
  }
}

TEST_F(RestoreToolOnDisks, RawAndVhdImagesRestoreByteForByte) {
  Rig rig({{"source", "internal", "160M"}, {"target", "internal", "160M"}});
  const std::string table = "label: gpt\nsize=40M\nsize=40M\nsize=40M\n";
  rig.partition("source", table);
  rig.partition("target", table);
  rig.mkfs("source", 1, "ext4", "data");
  rig.fill("source", 1);
  const std::string raw = capture(rig, "source", 1, "data.raw");
  const std::string dynamic_vhd = capture(rig, "source", 1, "data.vhd");
  const std::string fixed_vhd = (dir_.path() / "fixed.vhd").string();
  const RigRun convert = runProgram({"qemu-img", "convert", "-f", "raw", "-O", "vpc", "-o", "subformat=fixed,force_size=on", raw, fixed_vhd});
  ASSERT_EQ(convert.status, 0) << convert.output;

  const std::string source = readDevice(rig.partition("source", 1));
  ASSERT_EQ(source.size(), static_cast<size_t>(40 * MiB));
  EXPECT_EQ(readFile(raw), source);

  int partition = 1;
  for (const std::string& image : {raw, dynamic_vhd, fixed_vhd}) {
    SCOPED_TRACE(image);
    const std::string target = rig.partition("target", partition++);
    scribble(target, 40 * MiB);
    expectRestoredOutput(runTool({"--restore-image", image, "-o", target}));
    EXPECT_TRUE(readDevice(target) == source) << "partition differs from the source";
  }
}

// Killed while it writes, the tool leaves a partition on which no file
// system is found: the old one's signature went first, the new one's start
// comes last.
TEST_F(RestoreToolOnDisks, KilledMidImageItLeavesNoFileSystemOldOrNew) {
  Rig rig({{"target", "internal", "320M"}});
  rig.partition("target", "label: dos\nsize=256M, type=83\n");
  rig.mkfs("target", 1, "vfat");
  const std::string partition = rig.partition("target", 1);
  const auto typeOn = [](const std::string& device) {
    const RigRun probe = runProgram({"blkid", "-p", "-s", "TYPE", "-o", "value", device});
    return probe.output.substr(0, probe.output.find('\n'));
  };
  ASSERT_EQ(typeOn(partition), "vfat");
  const std::string image = (dir_.path() / "volume.raw").string();
  ASSERT_EQ(runProgram({"truncate", "-s", "256M", image}).status, 0);
  ASSERT_EQ(runProgram({"mkfs.ext4", "-q", "-F", image}).status, 0);

  int out = -1;
  const int child = startTool({"--restore-image", image, "-o", partition}, &out);
  ASSERT_GT(child, 0);
  // The first progress line comes after the old signatures are gone and
  // before the first of 256 chunks is on the device.
  std::string seen;
  char c = 0;
  while (seen.find('%') == std::string::npos && ::read(out, &c, 1) == 1) {
    seen += c;
  }
  ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ::close(out);
  ASSERT_NE(seen.find('%'), std::string::npos) << seen;
  EXPECT_TRUE(WIFSIGNALED(status)) << "the tool finished before it could be killed";
  EXPECT_EQ(typeOn(partition), "");
}

TEST_F(RestoreToolOnDisks, ImageOnALargerPartitionLeavesTheRestAlone) {
  Rig rig({{"source", "internal", "64M"}, {"target", "internal", "64M"}});
  rig.partition("source", "label: dos\nsize=8M, type=83\n");
  rig.partition("target", "label: dos\nsize=16M, type=83\n");
  rig.mkfs("source", 1, "vfat");
  const std::string image = capture(rig, "source", 1, "small.raw");
  const std::string target = rig.partition("target", 1);
  scribble(target, 16 * MiB);
  expectRestoredOutput(runTool({"--restore-image", image, "-o", target}));
  EXPECT_TRUE(readDevice(target, 0, 8 * MiB) == readDevice(rig.partition("source", 1)));
  EXPECT_EQ(readDevice(target, 8 * MiB, 8 * MiB), std::string(8 * MiB, '\xA5'));
}

TEST_F(RestoreToolOnDisks, RefusesBadInputWithoutWritingAnything) {
  Rig rig({{"source", "internal", "96M"}, {"small", "internal", "48M"}});
  rig.partition("source", "label: gpt\nsize=40M\nsize=40M\n");
  rig.partition("small", "label: gpt\nsize=20M\n");
  const std::string image = capture(rig, "source", 1, "big.raw");
  const std::string small_partition = rig.partition("small", 1);
  scribble(small_partition, 20 * MiB);
  const std::string small_disk_before = readDevice(rig.device("small"));

  expectFailure(runTool({"--restore-image", image, "-o", small_partition}), "the image needs");
  // The GPT's backup copies belong at the end of a 96M disk.
  expectFailure(runTool({"--restore-mbr", image + ".mbr", "-o", rig.device("small")}), "smaller than the backed-up disk");
  expectFailure(runTool({"--restore-image", (dir_.path() / "missing.raw").string(), "-o", small_partition}),
                "missing.raw");
  expectFailure(runTool({"--restore-mbr", (dir_.path() / "missing.raw.mbr").string(), "-o", rig.device("small")}),
                "missing.raw.mbr");
  expectFailure(runTool({"--restore-image", image, "-o", rig.device("small")}), "whole disk");
  expectFailure(runTool({"--restore-mbr", image + ".mbr", "-o", small_partition}), "is a partition");
  // An image file is no partition-table record, however it decodes.
  expectFailure(runTool({"--restore-mbr", image, "-o", rig.device("small")}), "no MBR");
  const std::string renamed = (dir_.path() / "big.img").string();
  fs::copy_file(image, renamed);
  expectFailure(runTool({"--restore-image", renamed, "-o", small_partition}), "unknown format");
  EXPECT_TRUE(readDevice(rig.device("small")) == small_disk_before) << "a refused command changed the disk";

  // A regular file is never taken for a device.
  const auto plain = dir_.write("plain-target", std::string(64 * MiB, 'x'));
  expectFailure(runTool({"--restore-image", image, "-o", plain.string()}), "not a block device");
  expectFailure(runTool({"--restore-mbr", image + ".mbr", "-o", plain.string()}), "not a block device");
  EXPECT_EQ(readFile(plain), std::string(64 * MiB, 'x'));
}

TEST_F(RestoreToolOnDisks, RefusesATargetThatIsInUse) {
  Rig rig({{"source", "internal", "64M"}, {"target", "internal", "64M"}});
  rig.partition("source", "label: dos\nsize=20M, type=83\n");
  rig.partition("target", "label: dos\nsize=20M, type=83\n");
  rig.mkfs("source", 1, "ext4");
  rig.mkfs("target", 1, "ext4");
  const std::string image = capture(rig, "source", 1, "p1.raw");
  const fs::path mount_point = dir_.path() / "mnt";
  fs::create_directories(mount_point);
  rig.mount("target", 1, mount_point);
  expectFailure(runTool({"--restore-image", image, "-o", rig.partition("target", 1)}), "in use");
  expectFailure(runTool({"--restore-mbr", image + ".mbr", "-o", rig.device("target")}), "in use");
  rig.umount(mount_point);
}

TEST_F(RestoreToolOnDisks, CaptureNeverOverwritesAndNamesMissingPartitions) {
  Rig rig({{"source", "internal", "64M"}});
  rig.partition("source", "label: dos\nsize=20M, type=83\n");
  const std::string image = capture(rig, "source", 1, "p1.raw");
  const ToolRun again = runTool({"--create-image", "--disk", rig.device("source"), "--partition", "1",
                                 "--device-number", "0", "-o", image});
  expectFailure(again, "exists already");
  const ToolRun missing = runTool({"--create-image", "--disk", rig.device("source"), "--partition", "3",
                                   "--device-number", "0", "-o", (dir_.path() / "p3.raw").string()});
  expectFailure(missing, "partition 3");
  EXPECT_FALSE(fs::exists(dir_.path() / "p3.raw"));
  EXPECT_FALSE(fs::exists(dir_.path() / "p3.raw.mbr"));
}

TEST(RestoreToolCommandLine, MbrInfoKeepsMessagesOffStandardOutput) {
  TempDir dir;
  const ToolRun missing = runTool({"--mbr-info", (dir.path() / "none.mbr").string()});
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("error"), std::string::npos);

  const ToolRun garbage = runTool({"--mbr-info", dir.write("x.mbr", "\x01\x07 not a record").string()});
  EXPECT_NE(garbage.status, 0);
  EXPECT_EQ(garbage.out, "");

  const ToolRun usage = runTool({"--restore-image", "x.raw"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.out.find("error"), std::string::npos);
}

}  // namespace
