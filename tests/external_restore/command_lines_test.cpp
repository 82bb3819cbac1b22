#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "external_restore/drive_mount.h"
#include "external_restore/restore_tool_commands.h"
#include "support/command.h"
#include "support/shell_quote.h"
#include "support/text.h"

namespace {

TEST(CommandLines, KeepTheirFixedTextAroundQuotedValues) {
  EXPECT_EQ(partitionNumberCommand("/mnt/a/x.vhd"),
            "./keelbackrestoreclient --mbr-info '/mnt/a/x.vhd.mbr' | grep partition_number | sed "
            "'s/partition_number=//'");
  EXPECT_EQ(restoreMbrCommand("/mnt/a/x.vhd", "/dev/sda"),
            "sudo ./keelbackrestoreclient --restore-mbr '/mnt/a/x.vhd.mbr' -o  '/dev/sda'");
  EXPECT_EQ(restoreImageCommand("/mnt/a/x.vhd", "/dev/sda2"),
            "sudo ./keelbackrestoreclient --restore-image '/mnt/a/x.vhd' -o  '/dev/sda2'");
  EXPECT_EQ(mountCommand("/dev/sdb1", "btrfs", "/mnt/sdb1_14_03_59/"),
            "sudo mount -o ro,nosuid,nodev,noexec '/dev/sdb1' -t btrfs  '/mnt/sdb1_14_03_59/'> out 2>&1");
  EXPECT_EQ(unmountCommand("/dev/sdb1"), "sudo umount '/dev/sdb1'");
}

// Runs the real command lines through the shell against stand-ins that print
// the arguments they got, one per line in brackets, so that a value which the
// shell split, expanded or executed shows up as a difference.
class HostileValues : public ::testing::Test {
protected:
  void SetUp() override {
    dir_.write("bin/sudo", "#!/bin/sh\nexec \"$@\"\n");
    dir_.write("bin/mount", "#!/bin/sh\nfor a; do printf '[%s]\\n' \"$a\"; done\n");
    dir_.write("bin/umount", "#!/bin/sh\nfor a; do printf '[%s]\\n' \"$a\"; done\n");
    dir_.write("work/keelbackrestoreclient",
               "#!/bin/sh\n"
               "if [ \"$1\" = --mbr-info ]; then printf 'device_number=1\\npartition_number=%s\\n' \"$2\"; exit 0; fi\n"
               "for a; do printf '[%s]\\n' \"$a\"; done\n");
    for (const char* program : {"bin/sudo", "bin/mount", "bin/umount", "work/keelbackrestoreclient"}) {
      std::filesystem::permissions(dir_.path() / program, std::filesystem::perms::owner_all);
    }
  }

  // The output lines of `command` run in the work folder with the stand-ins
  // first on PATH.
  std::vector<std::string> run(const std::string& command) {
    const std::string prefix = "cd " + shellQuote((dir_.path() / "work").string()) +
                               " && PATH=" + shellQuote((dir_.path() / "bin").string()) + ":\"$PATH\"; ";
    std::string output;
    return runCommand(prefix + command, output);
  }

  void expectNothingExecuted() {
    for (const char* marker : {"work/pwned1", "work/pwned2", "work/pwned3", "work/pwned4"}) {
      EXPECT_FALSE(std::filesystem::exists(dir_.path() / marker)) << marker;
    }
  }

  TempDir dir_;
};

const std::string kHostile =
    "/mnt/x $(touch pwned1)/q'uote\"d;touch pwned2;`touch pwned3`|touch pwned4 &/a\\b *.vhd";

TEST_F(HostileValues, ReachTheRestoreToolAsOneArgumentEach) {
  const std::string disk = "/dev/sda;touch pwned1";
  EXPECT_EQ(run(partitionNumberCommand(kHostile)), std::vector<std::string>{kHostile + ".mbr"});
  EXPECT_EQ(run(restoreMbrCommand(kHostile, disk)),
            (std::vector<std::string>{"[--restore-mbr]", "[" + kHostile + ".mbr]", "[-o]", "[" + disk + "]"}));
  EXPECT_EQ(run(restoreImageCommand(kHostile, disk + "2")),
            (std::vector<std::string>{"[--restore-image]", "[" + kHostile + "]", "[-o]", "[" + disk + "2]"}));
  expectNothingExecuted();
}

TEST_F(HostileValues, ReachMountAndUmountAsOneArgumentEach) {
  const std::string device = "/dev/sdb1 $(touch pwned1)";
  run(mountCommand(device, "ntfs-3g", kHostile + "/"));
  EXPECT_EQ(split(getFile((dir_.path() / "work/out").string()), '\n'),
            (std::vector<std::string>{"[-o]", "[ro,nosuid,nodev,noexec]", "[" + device + "]", "[-t]", "[ntfs-3g]",
                                      "[" + kHostile + "/]"}));
  EXPECT_EQ(run(unmountCommand(device)), std::vector<std::string>{"[" + device + "]"});
  expectNothingExecuted();
}

}  // namespace
