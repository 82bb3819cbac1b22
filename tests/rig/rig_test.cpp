#include "rig/rig_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/temp_dir.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) {
      result.push_back(line);
    }
  }
  return result;
}

// Loop devices (/dev/loopN) whose backing file lies in `dir`, as the kernel
// sees them.
std::vector<std::string> loopsBackedIn(const std::filesystem::path& dir) {
  std::vector<std::string> result;
  const auto wanted = std::filesystem::weakly_canonical(dir).string() + "/";
  for (const auto& entry : std::filesystem::directory_iterator("/sys/block")) {
    const auto name = entry.path().filename().string();
    if (name.rfind("loop", 0) != 0 || !std::filesystem::exists(entry.path() / "loop/backing_file")) {
      continue;
    }
    const auto back = readText(entry.path() / "loop/backing_file");
    if (back.rfind(wanted, 0) == 0) {
      result.push_back("/dev/" + name);
    }
  }
  return result;
}

// Mount points whose source is `device` or one of its partitions.
std::vector<std::string> mountsOf(const std::string& device) {
  std::vector<std::string> result;
  for (const auto& line : lines(readText("/proc/self/mounts"))) {
    std::istringstream fields(line);
    std::string source, target;
    fields >> source >> target;
    if (source == device || source.rfind(device + "p", 0) == 0) {
      result.push_back(target);
    }
  }
  return result;
}

constexpr const char* kTwoPartitions = "label: gpt\nsize=40M, name=\"first\"\nsize=20M\n";

}  // namespace

TEST(RigLifecycle, UpGivesOwnLoopDevicesAndDownRemovesEverything) {
  SKIP_WITHOUT_RIG();
  std::filesystem::path state;
  std::string internal, usb;
  const std::filesystem::path mountPoint = "/mnt/rig-test-" + std::to_string(getpid());
  {
    Rig rig({{"system", "internal", "96M", "Vendor Model 1"}, {"stick", "usb", "64M"}});
    state = rig.state();
    internal = rig.device("system");
    usb = rig.device("stick");
    EXPECT_NE(internal, usb);
    auto owned = loopsBackedIn(state);
    std::sort(owned.begin(), owned.end());
    std::vector<std::string> expected{internal, usb};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(owned, expected);

    const RigRun shown = runRig({"device", state.string(), "stick"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.output, usb + "\n");

    rig.partition("system", kTwoPartitions);
    EXPECT_TRUE(std::filesystem::exists(rig.partition("system", 1)));
    EXPECT_TRUE(std::filesystem::exists(rig.partition("system", 2)));
    rig.mkfs("system", 1, "ext4", "root");
    rig.mkfs("system", 2, "vfat");
    rig.fill("system", 1);
    EXPECT_TRUE(mountsOf(internal).empty()) << "fill must unmount again";

    // Left mounted on purpose, where the agent mounts drives: down must undo it.
    rig.mount("system", 1, mountPoint);
    EXPECT_TRUE(std::filesystem::exists(mountPoint / "data/random.bin"));
    EXPECT_GE(std::filesystem::file_size(mountPoint / "data/random.bin"), 1u << 20);
    EXPECT_EQ(mountsOf(internal), std::vector<std::string>{mountPoint.string()});
  }
  EXPECT_TRUE(loopsBackedIn(state).empty());
  EXPECT_TRUE(mountsOf(internal).empty());
  EXPECT_FALSE(std::filesystem::exists(mountPoint));
  EXPECT_FALSE(std::filesystem::exists(state));
}

TEST(RigLifecycle, DownCleansUpAfterAKilledOwnerAndIsSafeTwice) {
  SKIP_WITHOUT_RIG();
  TempDir dir;
  const auto state = dir.path() / "state";
  const auto mountPoint = dir.path() / "mounted";

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Owned by the parent, so that another test's sweep leaves it alone.
    setenv("RIG_OWNER_PID", std::to_string(getppid()).c_str(), 1);
    const std::string s = state.string();
    const bool ok = runRig({"up", s, "a:internal:64M", "b:usb:32M"}).status == 0 &&
                    runRig({"partition", s, "a"}, "label: dos\nsize=40M\n").status == 0 &&
                    runRig({"mkfs", s, "a", "1", "ext4"}).status == 0 &&
                    runRig({"mount", s, "a", "1", mountPoint.string()}).status == 0;
    if (ok) {
      raise(SIGKILL);
    }
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child could not set up its rig";

  const auto left = loopsBackedIn(state);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_FALSE(mountsOf(left[0]).empty() && mountsOf(left[1]).empty());

  const RigRun first = runRig({"down", state.string()});
  EXPECT_EQ(first.status, 0) << first.output;
  const RigRun second = runRig({"down", state.string()});
  EXPECT_EQ(second.status, 0) << second.output;
  EXPECT_TRUE(loopsBackedIn(state).empty());
  for (const auto& device : left) {
    EXPECT_TRUE(mountsOf(device).empty()) << device;
  }
  EXPECT_FALSE(std::filesystem::exists(state / "a.img"));
  EXPECT_FALSE(std::filesystem::exists(state / "b.img"));
  EXPECT_FALSE(std::filesystem::exists(state / "disks"));
}

TEST(RigLifecycle, SweepTearsDownRigsWhoseOwnerIsGone) {
  SKIP_WITHOUT_RIG();
  TempDir dir;
  const auto orphan = dir.path() / "orphan";
  const auto alive = dir.path() / "alive";
  // A pid that cannot be running: above the kernel's limit.
  ScopedEnv deadOwner("RIG_OWNER_PID", "99999999");
  ASSERT_EQ(runRig({"up", orphan.string(), "o:usb:32M"}).status, 0);
  ScopedEnv liveOwner("RIG_OWNER_PID", std::to_string(getpid()));
  ASSERT_EQ(runRig({"up", alive.string(), "a:usb:32M"}).status, 0);

  EXPECT_EQ(runRig({"sweep"}).status, 0);
  EXPECT_TRUE(loopsBackedIn(orphan).empty());
  EXPECT_EQ(loopsBackedIn(alive).size(), 1u);
  EXPECT_EQ(runRig({"down", alive.string()}).status, 0);
  EXPECT_TRUE(loopsBackedIn(alive).empty());
}

TEST(RigLifecycle, DownOfAMissingOrEmptyStateSucceeds) {
  TempDir dir;
  EXPECT_EQ(runRig({"down", (dir.path() / "never-made").string()}).status, 0);
  EXPECT_EQ(runRig({"down", dir.path().string()}).status, 0);
}

TEST(RigLifecycle, BadSpecsLeaveNothingAttached) {
  SKIP_WITHOUT_RIG();
  TempDir dir;
  const auto state = dir.path().string();
  EXPECT_NE(runRig({"up", state, "ok:internal:32M", "bad:floppy:32M"}).status, 0);
  EXPECT_TRUE(loopsBackedIn(dir.path()).empty());
  EXPECT_NE(runRig({"up", state, "same:usb:32M", "same:usb:32M"}).status, 0);
  EXPECT_TRUE(loopsBackedIn(dir.path()).empty());
  EXPECT_THROW(Rig({{"x", "internal", "not-a-size"}}), std::runtime_error);
}

TEST(RigGuard, RefusesEverythingButItsOwnLoopDevices) {
  SKIP_WITHOUT_RIG();
  Rig mine({{"own", "internal", "64M"}});
  Rig other({{"foreign", "internal", "64M"}});
  mine.partition("own", "label: dos\nsize=20M\n");
  const std::string state = mine.state().string();

  EXPECT_EQ(runRig({"guard", state, mine.device("own")}).status, 0);
  EXPECT_EQ(runRig({"guard", state, mine.partition("own", 1)}).status, 0);

  const std::vector<std::string> refused{"/dev/vda",     "/dev/vda1",     "/dev/zram0",      "/dev/sda",
                                         "/dev/nvme0n1p1", "/dev/loop999", "/dev/loop0p1x", "/dev/../dev/vda",
                                         mine.partition("own", 2)};
  for (const auto& device : refused) {
    const RigRun guard = runRig({"guard", state, device});
    EXPECT_NE(guard.status, 0) << device;
    EXPECT_THAT(guard.output, HasSubstr("refusing")) << device;
  }
  const RigRun foreign = runRig({"guard", state, other.device("foreign")});
  EXPECT_NE(foreign.status, 0);
  EXPECT_THAT(foreign.output, HasSubstr("not in"));
}

TEST(RigGuard, WritingCommandsRefuseADiskListThatPointsElsewhere) {
  SKIP_WITHOUT_RIG();
  Rig mine({{"own", "internal", "64M"}});
  Rig other({{"foreign", "internal", "64M"}});
  other.partition("foreign", "label: dos\nsize=20M\n");

  // A tampered disk list: "own" now names the other rig's loop device, which
  // is the worst a confused test could do without touching machine disks.
  const auto list = mine.state() / "disks";
  std::string text = readText(list);
  const auto at = text.find(mine.device("own"));
  ASSERT_NE(at, std::string::npos);
  text.replace(at, mine.device("own").size(), other.device("foreign"));
  std::ofstream(list, std::ios::trunc) << text << '\n';

  const std::string state = mine.state().string();
  EXPECT_NE(runRig({"partition", state, "own"}, "label: gpt\nsize=10M\n").status, 0);
  EXPECT_NE(runRig({"mkfs", state, "own", "1", "ext4"}).status, 0);
  EXPECT_NE(runRig({"fill", state, "own", "1"}).status, 0);
  EXPECT_NE(runRig({"device", state, "own"}).status, 0);

  const RigRun table = runProgram({"blkid", "-p", "-o", "value", "-s", "PTTYPE", other.device("foreign")});
  EXPECT_EQ(table.output, "dos\n") << "the other rig's partition table was changed";
  EXPECT_THAT(runProgram({"blkid", "-p", other.partition("foreign", 1)}).output, Not(HasSubstr("ext4")));
}

// The stand-ins on PATH, as the agent's commands see them.
class RigStandIns : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT_RIG();
    rig_ = std::make_unique<Rig>(std::vector<RigDiskSpec>{{"inner", "internal", "128M", "Fast \"SSD\" 2"},
                                                          {"stick", "usb", "64M", "USB Stick"}});
    rig_->partition("inner", "label: gpt\nsize=40M, name=\"EFI system\"\nsize=40M\n");
    rig_->mkfs("inner", 1, "vfat", "BOOT");
    rig_->mkfs("inner", 2, "ext4");
    path_ = std::make_unique<ScopedEnv>("PATH", Rig::pathWithStandIns());
    state_ = std::make_unique<ScopedEnv>("RIG_STATE", rig_->state().string());
  }
  void TearDown() override {
    state_.reset();
    path_.reset();
    rig_.reset();
  }
  static RigRun shell(const std::string& command) { return runProgram({"/bin/sh", "-c", command}); }

  std::unique_ptr<Rig> rig_;
  std::unique_ptr<ScopedEnv> path_;
  std::unique_ptr<ScopedEnv> state_;
};

TEST_F(RigStandIns, ListingAllDevicesShowsOnlyRigDisksAsDisks) {
  Rig unrelated({{"elsewhere", "usb", "32M"}});
  const RigRun run = shell("sudo lsblk -o NAME,TYPE,SIZE,PARTLABEL,FSTYPE,MOUNTPOINT,MODEL -P -p -b");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string inner = rig_->device("inner");
  const std::string stick = rig_->device("stick");
  const std::vector<std::string> expected{
      "NAME=\"" + inner + "\" TYPE=\"disk\" SIZE=\"134217728\" PARTLABEL=\"\" FSTYPE=\"\" MOUNTPOINT=\"\" "
      "MODEL=\"Fast \\x22SSD\\x22 2\"",
      "NAME=\"" + inner + "p1\" TYPE=\"part\" SIZE=\"41943040\" PARTLABEL=\"EFI system\" FSTYPE=\"vfat\" "
      "MOUNTPOINT=\"\" MODEL=\"\"",
      "NAME=\"" + inner + "p2\" TYPE=\"part\" SIZE=\"41943040\" PARTLABEL=\"\" FSTYPE=\"ext4\" MOUNTPOINT=\"\" "
      "MODEL=\"\"",
      "NAME=\"" + stick + "\" TYPE=\"disk\" SIZE=\"67108864\" PARTLABEL=\"\" FSTYPE=\"\" MOUNTPOINT=\"\" "
      "MODEL=\"USB Stick\""};
  auto got = lines(run.output);
  // lsblk orders devices by its own rules; the rows of one disk stay together.
  if (!got.empty() && got.front().find(stick) != std::string::npos) {
    std::rotate(got.begin(), got.begin() + 1, got.end());
  }
  EXPECT_EQ(got, expected);
  EXPECT_THAT(run.output, Not(HasSubstr(unrelated.device("elsewhere"))));
  EXPECT_THAT(run.output, Not(HasSubstr("vda")));
  EXPECT_THAT(run.output, Not(HasSubstr("zram")));
}

TEST_F(RigStandIns, ListingOneDeviceMapsRowsWithoutANameColumn) {
  const RigRun run = shell("lsblk -o MAJ:MIN,MODEL,SIZE,TYPE -P " + rig_->device("inner"));
  ASSERT_EQ(run.status, 0) << run.output;
  const auto rows = lines(run.output);
  ASSERT_EQ(rows.size(), 3u) << run.output;
  EXPECT_THAT(rows[0], HasSubstr("MODEL=\"Fast \\x22SSD\\x22 2\" SIZE=\"128M\" TYPE=\"disk\""));
  EXPECT_THAT(rows[0], HasSubstr("MAJ:MIN=\"7:"));
  EXPECT_THAT(rows[1], HasSubstr("MODEL=\"\" SIZE=\"40M\" TYPE=\"part\""));
  EXPECT_THAT(rows[2], HasSubstr("MODEL=\"\" SIZE=\"40M\" TYPE=\"part\""));
}

TEST_F(RigStandIns, ListingADeviceOutsideTheRigPrintsNothingAndFails) {
  Rig unrelated({{"elsewhere", "usb", "32M"}});
  const std::vector<std::string> outside{"/dev/vda", "/dev/zram0", "/dev/nope", unrelated.device("elsewhere")};
  for (const auto& device : outside) {
    const RigRun run = shell("lsblk -o MAJ:MIN,MODEL,SIZE,TYPE -P " + device + " 2>/dev/null");
    EXPECT_EQ(run.status, 1) << device;
    EXPECT_EQ(run.output, "") << device;
  }
  ScopedEnv noRig("RIG_STATE", "");
  const RigRun all = shell("lsblk -P -p -o NAME,TYPE");
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.output, "");
}

TEST_F(RigStandIns, UdevadmGivesTheRigBusOnlyForRigDisks) {
  const auto busOf = [](const std::string& kname) {
    return shell("udevadm info --query=property --path=\"/sys/block/" + kname +
                 "\" | grep ID_BUS | awk -F \"=\" '{print $2}'")
        .output;
  };
  EXPECT_EQ(busOf(rig_->device("inner").substr(5)), "ata\n");
  EXPECT_EQ(busOf(rig_->device("stick").substr(5)), "usb\n");
  EXPECT_EQ(busOf("vda"), "");
  Rig unrelated({{"elsewhere", "usb", "32M"}});
  EXPECT_EQ(busOf(unrelated.device("elsewhere").substr(5)), "");

  // Device numbers still resolve through the real tool, escaped colon included.
  const RigRun majMin = shell("cat /sys/class/block/" + rig_->partition("inner", 2).substr(5) + "/dev");
  ASSERT_EQ(majMin.status, 0);
  std::string number = majMin.output.substr(0, majMin.output.find('\n'));
  number.replace(number.find(':'), 1, "\\:");
  const RigRun devname = shell("udevadm info --query=property --path=/sys/dev/block/" + number +
                               " | grep \"DEVNAME=\" | sed 's/DEVNAME=//' -");
  EXPECT_EQ(devname.output, rig_->partition("inner", 2) + "\n");
}

TEST_F(RigStandIns, RebootAndShutdownAreRecordedNotRun) {
  EXPECT_EQ(shell("reboot").status, 0);
  EXPECT_EQ(shell("shutdown -h now").status, 0);
  EXPECT_EQ(rig_->calls(), (std::vector<std::string>{"reboot", "shutdown -h now"}));
  EXPECT_EQ(shell("sudo printenv RIG_STATE").output, rig_->state().string() + "\n");
  EXPECT_THAT(shell("command -v reboot").output, HasSubstr(Rig::binDir().string()));
}

TEST(RigScripts, NetworkStandInPrintsJsonOrTheTestsText) {
  TempDir dir;
  ScopedEnv state("RIG_STATE", dir.path().string());
  const auto script = (Rig::binDir() / "get_ip.sh").string();
  const RigRun fixed = runProgram({script});
  EXPECT_EQ(fixed.status, 0);
  EXPECT_EQ(fixed.output.front(), '{');
  EXPECT_THAT(fixed.output, HasSubstr("\"ip\""));
  dir.write("get_ip_output", "not json\n");
  EXPECT_EQ(runProgram({script}).output, "not json\n");
}

TEST(RigScripts, RebootWithoutARigStillNeverRunsTheRealOne) {
  ScopedEnv noRig("RIG_STATE", "");
  const RigRun run = runProgram({(Rig::binDir() / "reboot").string()});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.output, HasSubstr("not recorded"));
}
