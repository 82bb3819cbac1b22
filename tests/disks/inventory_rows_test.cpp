#include "disks/inventory_rows.h"

#include <map>
#include <sstream>

#include <json/writer.h>

#include <gtest/gtest.h>

namespace {

// `lsblk -o NAME,TYPE,SIZE,PARTLABEL,FSTYPE,MOUNTPOINT,MODEL -P -p -b` of a
// machine with many disks: sda and sdaa, nvme0n1 and nvme0n10, a USB stick,
// a DVD drive whose model mentions "disk", and a loop device.
const char* const kListing =
    "NAME=\"/dev/loop0\" TYPE=\"loop\" SIZE=\"67108864\" PARTLABEL=\"\" FSTYPE=\"squashfs\" "
    "MOUNTPOINT=\"/run/live/medium/disk\" MODEL=\"\"\n"
    "NAME=\"/dev/sda\" TYPE=\"disk\" SIZE=\"500107862016\" PARTLABEL=\"\" FSTYPE=\"\" MOUNTPOINT=\"\" "
    "MODEL=\"WDC WD5000AAKX-00ERMA0\"\n"
    "NAME=\"/dev/sda1\" TYPE=\"part\" SIZE=\"104857600\" PARTLABEL=\"EFI system partition\" FSTYPE=\"vfat\" "
    "MOUNTPOINT=\"\" MODEL=\"\"\n"
    "NAME=\"/dev/sda2\" TYPE=\"part\" SIZE=\"499999997952\" PARTLABEL=\"Basic data partition\" FSTYPE=\"ntfs\" "
    "MOUNTPOINT=\"/mnt/sda2\" MODEL=\"\"\n"
    "NAME=\"/dev/sdb\" TYPE=\"disk\" SIZE=\"15728640000\" PARTLABEL=\"\" FSTYPE=\"\" MOUNTPOINT=\"\" "
    "MODEL=\"DataTraveler 3.0\"\n"
    "NAME=\"/dev/sdb1\" TYPE=\"part\" SIZE=\"15727591424\" PARTLABEL=\"\" FSTYPE=\"ntfs\" MOUNTPOINT=\"\" "
    "MODEL=\"\"\n"
    "NAME=\"/dev/sr0\" TYPE=\"rom\" SIZE=\"1073741312\" PARTLABEL=\"\" FSTYPE=\"\" MOUNTPOINT=\"\" "
    "MODEL=\"Virtual disk drive\"\n"
    "NAME=\"/dev/sdaa\" TYPE=\"disk\" SIZE=\"1000204886016\" PARTLABEL=\"\" FSTYPE=\"\" MOUNTPOINT=\"\" "
    "MODEL=\"ST1000DM010-2EP102\"\n"
    "NAME=\"/dev/sdaa1\" TYPE=\"part\" SIZE=\"1000203837440\" PARTLABEL=\"\" FSTYPE=\"ext4\" MOUNTPOINT=\"\" "
    "MODEL=\"\"\n"
    "NAME=\"/dev/nvme0n1\" TYPE=\"disk\" SIZE=\"512110190592\" PARTLABEL=\"\" FSTYPE=\"\" MOUNTPOINT=\"\" "
    "MODEL=\"Samsung SSD 970 EVO Plus 500GB\"\n"
    "NAME=\"/dev/nvme0n1p1\" TYPE=\"part\" SIZE=\"272629760\" PARTLABEL=\"\" FSTYPE=\"vfat\" MOUNTPOINT=\"\" "
    "MODEL=\"\"\n"
    "NAME=\"/dev/nvme0n10\" TYPE=\"disk\" SIZE=\"1073741824\" PARTLABEL=\"\" FSTYPE=\"\" MOUNTPOINT=\"\" "
    "MODEL=\"Samsung SSD 970 EVO Plus 500GB\"\n"
    "NAME=\"/dev/nvme0n10p1\" TYPE=\"part\" SIZE=\"1072693248\" PARTLABEL=\"\" FSTYPE=\"btrfs\" MOUNTPOINT=\"\" "
    "MODEL=\"\"\n";

std::vector<std::string> rowsWhere(bool (*keep)(const std::string&)) {
  std::vector<std::string> rows;
  std::istringstream in(kListing);
  std::string line;
  while (std::getline(in, line)) {
    if (keep(line)) {
      rows.push_back(line);
    }
  }
  return rows;
}

// A sysfs root with nothing under it: only udev's ID_BUS places a disk.
const std::filesystem::path kNoSysfs = "/nonexistent-sysfs";

// What the two grep filters of the disk and partition queries let through.
const std::vector<std::string> kDiskRows =
    rowsWhere([](const std::string& l) { return l.find("disk") != std::string::npos; });
const std::vector<std::string> kPartitionRows =
    rowsWhere([](const std::string& l) { return l.find("TYPE=\"part\"") != std::string::npos; });

BusLookup busesFrom(std::map<std::string, std::string> buses, std::vector<std::string>* asked = nullptr) {
  return [buses, asked](const std::string& kernelName) -> std::vector<std::string> {
    if (asked != nullptr) {
      asked->push_back(kernelName);
    }
    const auto it = buses.find(kernelName);
    if (it == buses.end()) {
      return {};
    }
    return {it->second};
  };
}

const std::map<std::string, std::string> kBuses{{"sda", "ata"}, {"sdb", "usb"}, {"sdaa", "ata"},
                                                {"nvme0n1", "nvme"}, {"nvme0n10", "nvme"}, {"sr0", "ata"},
                                                {"loop0", "ata"}};

std::vector<std::string> devices(const Json::Value& inventory) {
  std::vector<std::string> result;
  for (const auto& disk : inventory) {
    result.push_back(disk["Device"].asString());
  }
  return result;
}

std::vector<std::string> partitionNames(const Json::Value& disk) {
  std::vector<std::string> result;
  for (const auto& partition : disk["partitions"]) {
    result.push_back(partition["name"].asString());
  }
  return result;
}

const Json::Value* diskNamed(const Json::Value& inventory, const std::string& device) {
  for (const auto& disk : inventory) {
    if (disk["Device"].asString() == device) {
      return &disk;
    }
  }
  return nullptr;
}

}  // namespace

TEST(PartitionOfDisk, FollowsTheKernelsNamingOfPartitions) {
  EXPECT_TRUE(partitionOfDisk("/dev/sda1", "/dev/sda"));
  EXPECT_TRUE(partitionOfDisk("/dev/sda15", "/dev/sda"));
  EXPECT_TRUE(partitionOfDisk("/dev/nvme0n1p2", "/dev/nvme0n1"));
  EXPECT_TRUE(partitionOfDisk("/dev/nvme0n10p1", "/dev/nvme0n10"));
  EXPECT_TRUE(partitionOfDisk("/dev/mmcblk0p1", "/dev/mmcblk0"));
  EXPECT_TRUE(partitionOfDisk("/dev/loop3p2", "/dev/loop3"));

  EXPECT_FALSE(partitionOfDisk("/dev/sdaa1", "/dev/sda"));
  EXPECT_FALSE(partitionOfDisk("/dev/sdap1", "/dev/sda")) << "partition 1 of the disk sdap";
  EXPECT_FALSE(partitionOfDisk("/dev/nvme0n10p1", "/dev/nvme0n1"));
  EXPECT_FALSE(partitionOfDisk("/dev/nvme0n11", "/dev/nvme0n1"));
  EXPECT_FALSE(partitionOfDisk("/dev/loop10p1", "/dev/loop1"));
  EXPECT_FALSE(partitionOfDisk("/dev/sdb1", "/dev/sda"));
  EXPECT_FALSE(partitionOfDisk("/dev/sda", "/dev/sda"));
  EXPECT_FALSE(partitionOfDisk("/dev/nvme0n1p", "/dev/nvme0n1"));
  EXPECT_FALSE(partitionOfDisk("/dev/sda1", ""));
  EXPECT_FALSE(partitionOfDisk("", "/dev/sda"));
  EXPECT_FALSE(partitionOfDisk("/dev/mapper/sda1", "/dev/sda"));
}

TEST(DiskInventory, InternalDisksWithTheirOwnPartitionsOnly) {
  const Json::Value inventory = buildInventory(kDiskRows, kPartitionRows, false, busesFrom(kBuses), kNoSysfs);
  ASSERT_TRUE(inventory.isArray());
  EXPECT_EQ(devices(inventory),
            (std::vector<std::string>{"/dev/sda", "/dev/sdaa", "/dev/nvme0n1", "/dev/nvme0n10"}));

  const Json::Value& sda = *diskNamed(inventory, "/dev/sda");
  EXPECT_EQ(sda["Model"].asString(), "WDC WD5000AAKX-00ERMA0");
  EXPECT_EQ(sda["Size"].asString(), "500107862016");
  EXPECT_EQ(partitionNames(sda), (std::vector<std::string>{"sda1", "sda2"}));
  EXPECT_EQ(partitionNames(*diskNamed(inventory, "/dev/sdaa")), std::vector<std::string>{"sdaa1"});
  EXPECT_EQ(partitionNames(*diskNamed(inventory, "/dev/nvme0n1")), std::vector<std::string>{"nvme0n1p1"});
  EXPECT_EQ(partitionNames(*diskNamed(inventory, "/dev/nvme0n10")), std::vector<std::string>{"nvme0n10p1"});

  const Json::Value& second = sda["partitions"][1];
  EXPECT_EQ(second.getMemberNames(), (std::vector<std::string>{"FsType", "MOUNTPOINT", "name", "size", "used_size"}));
  EXPECT_EQ(second["size"].asString(), "499999997952");
  EXPECT_EQ(second["FsType"].asString(), "ntfs");
  EXPECT_EQ(second["MOUNTPOINT"].asString(), "/mnt/sda2");
  EXPECT_TRUE(second["used_size"].isString());
  EXPECT_EQ(second["used_size"].asString(), "");
  for (const auto& disk : inventory) {
    for (const auto& partition : disk["partitions"]) {
      EXPECT_EQ(partition["name"].asString().find("/dev/"), std::string::npos);
      EXPECT_EQ(partition["used_size"].asString(), "");
    }
  }
}

TEST(DiskInventory, UsbDisksOnlyWithTheSelectorSet) {
  const Json::Value inventory = buildInventory(kDiskRows, kPartitionRows, true, busesFrom(kBuses), kNoSysfs);
  ASSERT_EQ(devices(inventory), std::vector<std::string>{"/dev/sdb"});
  EXPECT_EQ(inventory[0]["Model"].asString(), "DataTraveler 3.0");
  EXPECT_EQ(partitionNames(inventory[0]), std::vector<std::string>{"sdb1"});
  EXPECT_EQ(inventory[0]["partitions"][0]["FsType"].asString(), "ntfs");
}

TEST(DiskInventory, RowsThatOnlyMentionDiskAreNotDisks) {
  std::vector<std::string> asked;
  const Json::Value inventory = buildInventory(kDiskRows, kPartitionRows, false, busesFrom(kBuses, &asked), kNoSysfs);
  EXPECT_EQ(diskNamed(inventory, "/dev/sr0"), nullptr) << "a drive whose model says disk";
  EXPECT_EQ(diskNamed(inventory, "/dev/loop0"), nullptr) << "a loop device mounted under .../disk";
  EXPECT_EQ(asked, (std::vector<std::string>{"sda", "sdb", "sdaa", "nvme0n1", "nvme0n10"}));
}

TEST(DiskInventory, DiskWithoutBusIsInNeitherList) {
  auto buses = kBuses;
  buses.erase("sdb");
  buses.erase("sda");
  EXPECT_TRUE(buildInventory(kDiskRows, kPartitionRows, true, busesFrom(buses), kNoSysfs).isNull());
  EXPECT_EQ(diskNamed(buildInventory(kDiskRows, kPartitionRows, false, busesFrom(buses), kNoSysfs), "/dev/sda"), nullptr);
}

TEST(DiskInventory, NothingQualifyingIsNullNotAnEmptyArray) {
  const Json::Value none = buildInventory({}, kPartitionRows, false, busesFrom(kBuses), kNoSysfs);
  EXPECT_TRUE(none.isNull());
  Json::StreamWriterBuilder writer;
  EXPECT_EQ(Json::writeString(writer, none), "null");
  EXPECT_TRUE(buildInventory(kDiskRows, kPartitionRows, false, busesFrom({{"sdb", "usb"}}), kNoSysfs).isNull());
}

TEST(DiskInventory, DiskWithoutPartitionsHasNoPartitionsMember) {
  const std::vector<std::string> disks{
      "NAME=\"/dev/sdc\" TYPE=\"disk\" SIZE=\"2000398934016\" PARTLABEL=\"\" FSTYPE=\"\" MOUNTPOINT=\"\" "
      "MODEL=\"New Disk\""};
  const Json::Value inventory = buildInventory(disks, kPartitionRows, false, busesFrom({{"sdc", "sata"}}), kNoSysfs);
  ASSERT_EQ(inventory.size(), 1u);
  EXPECT_EQ(inventory[0].getMemberNames(), (std::vector<std::string>{"Device", "Model", "Size"}));
}

TEST(DiskInventory, MissingKeysReadAsEmptyTexts) {
  const std::vector<std::string> disks{"NAME=\"/dev/sdc\" TYPE=\"disk\" SIZE=\"1000\"",
                                       "TYPE=\"disk\" SIZE=\"5\" MODEL=\"no name\""};
  const std::vector<std::string> partitions{"NAME=\"/dev/sdc1\" TYPE=\"part\"",
                                            "TYPE=\"part\" SIZE=\"12\" FSTYPE=\"ext4\""};
  std::vector<std::string> asked;
  const Json::Value inventory = buildInventory(disks, partitions, false, busesFrom({{"sdc", "ata"}}, &asked), kNoSysfs);
  ASSERT_EQ(inventory.size(), 1u) << "a row without NAME names no device";
  EXPECT_EQ(asked, std::vector<std::string>{"sdc"});
  EXPECT_EQ(inventory[0]["Model"].asString(), "");
  const Json::Value& first = inventory[0]["partitions"][0];
  EXPECT_EQ(first["size"].asString(), "");
  EXPECT_EQ(first["FsType"].asString(), "");
  EXPECT_EQ(first["MOUNTPOINT"].asString(), "");
  EXPECT_EQ(inventory[0]["partitions"].size(), 1u) << "a partition row without NAME lies on no disk";
}

TEST(DiskInventory, BusQueryIsTheUdevadmPipeline) {
  EXPECT_EQ(busQuery("sda"),
            "udevadm info --query=property --path=\"/sys/block/sda\" | grep ID_BUS | awk -F \"=\" '{print $2}'");
}
