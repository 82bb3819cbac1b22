#include "disks/block_device_rows.h"

#include <gtest/gtest.h>

namespace {

// `lsblk -o MAJ:MIN,MODEL,SIZE,TYPE -P /dev/nvme0n1` of a disk whose second
// partition is an LVM physical volume: the volumes follow their partition.
const char* const kNvmeWithLvm =
    "MAJ:MIN=\"259:0\" MODEL=\"Samsung SSD 970 EVO Plus 500GB\" SIZE=\"465.8G\" TYPE=\"disk\"\n"
    "MAJ:MIN=\"259:1\" MODEL=\"\" SIZE=\"512M\" TYPE=\"part\"\n"
    "MAJ:MIN=\"259:2\" MODEL=\"\" SIZE=\"465.3G\" TYPE=\"part\"\n"
    "MAJ:MIN=\"254:0\" MODEL=\"\" SIZE=\"30G\" TYPE=\"lvm\"\n"
    "MAJ:MIN=\"254:1\" MODEL=\"\" SIZE=\"435.3G\" TYPE=\"lvm\"\n"
    "MAJ:MIN=\"259:3\" MODEL=\"\" SIZE=\"1M\" TYPE=\"part\"\n";

}  // namespace

TEST(LsblkRows, ReadsEveryRowInTreeOrder) {
  const auto rows = parseLsblkListing(kNvmeWithLvm);
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[0].maj_min, "259:0");
  EXPECT_EQ(rows[0].model, "Samsung SSD 970 EVO Plus 500GB");
  EXPECT_EQ(rows[0].size, "465.8G");
  EXPECT_EQ(rows[0].type, "disk");
  EXPECT_EQ(rows[3].maj_min, "254:0");
  EXPECT_EQ(rows[3].type, "lvm");
  EXPECT_EQ(rows[5].maj_min, "259:3");
  EXPECT_EQ(rows[5].type, "part");
  for (const auto& row : rows) {
    EXPECT_EQ(row.devname, "");
  }
}

TEST(LsblkRows, MissingKeysAndBlankLinesGiveEmptyFields) {
  const auto rows = parseLsblkListing(
      "MAJ:MIN=\"8:0\" SIZE=\"1T\" TYPE=\"disk\"\n"
      "\n"
      "MAJ:MIN=\"8:1\" MODEL=\"unterminated\n"
      "MAJ:MIN=\"8:2\" MODEL=\"\" SIZE=\"2G\" TYPE=\"part\"");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].model, "");
  EXPECT_EQ(rows[0].size, "1T");
  EXPECT_EQ(rows[1].maj_min, "");
  EXPECT_EQ(rows[1].type, "");
  EXPECT_EQ(rows[2].maj_min, "8:1");
  EXPECT_EQ(rows[2].model, "");
  EXPECT_EQ(rows[3].type, "part") << "a last line without line feed still counts";
  EXPECT_TRUE(parseLsblkListing("").empty());
  EXPECT_EQ(parseLsblkListing("MAJ:MIN=\"8:0\"\n").size(), 1u);
}

TEST(LsblkRows, DevnameQueryEscapesTheColonAndRefusesAnythingButANumber) {
  EXPECT_EQ(devnameQuery("259:3"),
            "udevadm info --query=property --path=/sys/dev/block/259\\:3 | grep \"DEVNAME=\" | sed 's/DEVNAME=//' - "
            "1> out");
  EXPECT_NE(devnameQuery("8:16"), "");
  for (const char* bad : {"", ":", "8:", ":1", "8-1", "8:1:2", "8:1; reboot", "$(reboot):1", "8:1 "}) {
    EXPECT_EQ(devnameQuery(bad), "") << bad;
  }
}

TEST(LsblkRows, DevnameIsTheFirstLineTrimmed) {
  EXPECT_EQ(devnameFromQueryOutput("/dev/sda2\n"), "/dev/sda2");
  EXPECT_EQ(devnameFromQueryOutput(" /dev/nvme0n1p3\r\n/dev/other\n"), "/dev/nvme0n1p3");
  EXPECT_EQ(devnameFromQueryOutput("/dev/sda2"), "") << "no line feed: the query printed no line";
  EXPECT_EQ(devnameFromQueryOutput(""), "");
}
