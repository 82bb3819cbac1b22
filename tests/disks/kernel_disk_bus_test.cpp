// The inventory's rule for disks without udev's ID_BUS, on fake sysfs trees
// laid out as the kernel lays out NVMe, virtio, SATA, USB-bridged SATA, MMC,
// optical, floppy, loop, zram and device-mapper devices.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "common/temp_dir.h"
#include "disks/disk_use.h"
#include "disks/inventory_rows.h"
#include "disks/kernel_disk_bus.h"

namespace fs = std::filesystem;

namespace {

class FakeSysfs {
public:
  const fs::path& root() const { return dir_.path(); }

  // A device directory under devices/ whose subsystem link names `subsystem`.
  fs::path device(const std::string& path, const std::string& subsystem) {
    const fs::path dir = root() / "devices" / path;
    fs::create_directories(dir);
    fs::create_directories(root() / "bus" / subsystem);
    fs::create_symlink(root() / "bus" / subsystem, dir / "subsystem");
    return dir;
  }
  // class/block/<name>, with a device link when `device` is not empty.
  void block(const std::string& name, const fs::path& device = {}) {
    const fs::path dir = root() / "class" / "block" / name;
    fs::create_directories(dir / "holders");
    if (!device.empty()) {
      fs::create_symlink(device, dir / "device");
    }
  }
  void holder(const std::string& name, const std::string& holder) {
    fs::create_directories(root() / "class" / "block" / name / "holders" / holder);
  }
  void attribute(const fs::path& device, const std::string& name, const std::string& value) {
    dir_.write(fs::relative(device / name, root()).string(), value + "\n");
  }

  // The tree of a machine with one disk of every kind.
  void everyKind() {
    const std::string pci = "pci0000:00/";
    device("pci0000:00/0000:00:04.0", "pci");
    block("nvme0n1", device(pci + "0000:00:04.0/nvme/nvme0", "nvme"));
    block("nvme1n1", device("virtual/nvme-subsystem/nvme-subsys1", "nvme-subsystem"));
    block("vdb", device(pci + "0000:00:05.0/virtio2", "virtio"));
    const fs::path sata = device(pci + "0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", "scsi");
    attribute(sata, "type", "0");
    block("sda", sata);
    device(pci + "0000:00:14.0/usb2", "usb");
    device(pci + "0000:00:14.0/usb2/2-1", "usb");
    device(pci + "0000:00:14.0/usb2/2-1/2-1:1.0", "usb");
    const fs::path bridged = device(pci + "0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "scsi");
    attribute(bridged, "type", "0");
    block("sdb", bridged);
    block("mmcblk0", device("platform/fe320000.mmc/mmc_host/mmc0/mmc0:0001", "mmc"));
    const fs::path optical = device(pci + "0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0", "scsi");
    attribute(optical, "type", "5");
    block("sr0", optical);
    block("fd0", device("platform/floppy.0", "platform"));
    block("loop0");
    block("zram0");
    block("dm-0");
  }

private:
  TempDir dir_;
};

std::string row(const std::string& name, const std::string& type, const std::string& mountpoint = "") {
  return "NAME=\"/dev/" + name + "\" TYPE=\"" + type + "\" SIZE=\"1000204886016\" PARTLABEL=\"\" FSTYPE=\"\" " +
         "MOUNTPOINT=\"" + mountpoint + "\" MODEL=\"model of " + name + "\"";
}

BusLookup udev(std::map<std::string, std::string> buses) {
  return [buses](const std::string& name) -> std::vector<std::string> {
    const auto it = buses.find(name);
    return it == buses.end() ? std::vector<std::string>{} : std::vector<std::string>{it->second};
  };
}

std::vector<std::string> devices(const Json::Value& inventory) {
  std::vector<std::string> result;
  for (const auto& disk : inventory) {
    result.push_back(disk["Device"].asString());
  }
  return result;
}

// lsblk shows zram as a disk too; loop and device-mapper rows have their own
// types but may pass the disk query's text filter.
const std::vector<std::string> kDiskRows{row("nvme0n1", "disk"), row("nvme1n1", "disk"), row("vdb", "disk"),
                                         row("sda", "disk"),     row("sdb", "disk"),     row("mmcblk0", "disk"),
                                         row("sr0", "disk"),     row("fd0", "disk"),     row("loop0", "disk"),
                                         row("zram0", "disk"),   row("dm-0", "disk")};
const std::vector<std::string> kPartitionRows{row("nvme0n1p1", "part"), row("nvme0n1p2", "part"),
                                              row("sda1", "part"), row("mmcblk0p1", "part")};

}  // namespace

TEST(KernelDiskBus, EveryKindOfDiskByItsAncestry) {
  FakeSysfs sysfs;
  sysfs.everyKind();
  const std::map<std::string, std::string> expected{
      {"nvme0n1", "nvme"}, {"nvme1n1", "nvme"}, {"vdb", "virtio"}, {"sda", "scsi"}, {"sdb", "usb"},
      {"mmcblk0", "mmc"},  {"sr0", ""},         {"fd0", ""},       {"loop0", ""},  {"zram0", ""},
      {"dm-0", ""},        {"sdz", ""},         {"../sda", ""},    {"", ""}};
  for (const auto& [name, bus] : expected) {
    EXPECT_EQ(kernelDiskBus(sysfs.root(), name), bus) << name;
  }
}

TEST(KernelDiskBus, ThisMachinesOwnDisksAreReadNotWritten) {
  // The machine's virtio root disk is a disk by the kernel's view; its zram
  // swap is not (read only: nothing here writes).
  if (!fs::exists("/sys/class/block/vda")) {
    GTEST_SKIP() << "no virtio disk here";
  }
  EXPECT_EQ(kernelDiskBus("/sys", "vda"), "virtio");
  EXPECT_EQ(kernelDiskBus("/sys", "zram0"), "");
}

TEST(DiskInventory, WithoutIdBusTheKernelsViewPlacesEveryDisk) {
  FakeSysfs sysfs;
  sysfs.everyKind();
  const Json::Value targets = buildInventory(kDiskRows, kPartitionRows, false, udev({}), sysfs.root());
  EXPECT_EQ(devices(targets),
            (std::vector<std::string>{"/dev/nvme0n1", "/dev/nvme1n1", "/dev/vdb", "/dev/sda", "/dev/mmcblk0"}));
  EXPECT_EQ(targets[0]["partitions"].size(), 2u) << "nvme0n1p1 and nvme0n1p2 lie on nvme0n1";
  EXPECT_EQ(targets[4]["partitions"][0]["name"].asString(), "mmcblk0p1");
  EXPECT_EQ(devices(buildInventory(kDiskRows, kPartitionRows, true, udev({}), sysfs.root())),
            std::vector<std::string>{"/dev/sdb"});
}

TEST(DiskInventory, IdBusDecidesWhereUdevGivesOne) {
  FakeSysfs sysfs;
  sysfs.everyKind();
  // The test rig marks its loop disks through ID_BUS; udev's word also wins
  // over the ancestry where both are known.
  const BusLookup buses = udev({{"loop0", "ata"}, {"sda", "usb"}, {"sdb", "ata"}});
  EXPECT_EQ(devices(buildInventory(kDiskRows, kPartitionRows, false, buses, sysfs.root())),
            (std::vector<std::string>{"/dev/nvme0n1", "/dev/nvme1n1", "/dev/vdb", "/dev/sdb", "/dev/mmcblk0",
                                      "/dev/loop0"}));
  EXPECT_EQ(devices(buildInventory(kDiskRows, kPartitionRows, true, buses, sysfs.root())),
            std::vector<std::string>{"/dev/sda"});
}

TEST(DiskInventory, DisksInUseAreListedWithTheirReason) {
  FakeSysfs sysfs;
  sysfs.everyKind();
  sysfs.block("nvme0n1p2");
  sysfs.holder("nvme0n1p2", "md127");
  sysfs.holder("vdb", "dm-0");
  const std::vector<std::string> partitions{row("nvme0n1p1", "part"), row("nvme0n1p2", "part"),
                                            row("sda1", "part", "[SWAP]"), row("mmcblk0p1", "part", "/boot")};
  std::vector<std::string> disks = kDiskRows;
  disks.push_back(row("vdc", "disk", "/srv"));  // a file system on the whole disk
  sysfs.block("vdc", sysfs.device("pci0000:00/0000:00:06.0/virtio3", "virtio"));
  const Json::Value targets = buildInventory(disks, partitions, false, udev({}), sysfs.root());
  ASSERT_EQ(targets.size(), 6u);
  std::map<std::string, std::string> inUse;
  for (const auto& disk : targets) {
    inUse[disk["Device"].asString()] = disk.isMember("InUse") ? disk["InUse"].asString() : "free";
  }
  EXPECT_EQ(inUse["/dev/nvme0n1"], "partition /dev/nvme0n1p2 of /dev/nvme0n1 is in use by /dev/md127 (RAID, LVM or "
                                   "device-mapper)");
  EXPECT_EQ(inUse["/dev/vdb"], "/dev/vdb is in use by /dev/dm-0 (RAID, LVM or device-mapper)");
  EXPECT_EQ(inUse["/dev/sda"], "partition /dev/sda1 of /dev/sda is in use as swap");
  EXPECT_EQ(inUse["/dev/mmcblk0"], "partition /dev/mmcblk0p1 of /dev/mmcblk0 is mounted on /boot");
  EXPECT_EQ(inUse["/dev/vdc"], "/dev/vdc is mounted on /srv");
  EXPECT_EQ(inUse["/dev/nvme1n1"], "free");
}
