#pragma once
// The text handling behind GetDiskInfo(): rows of
// `lsblk -o NAME,TYPE,SIZE,PARTLABEL,FSTYPE,MOUNTPOINT,MODEL -P -p -b` into
// the JSON disk inventory. Free of commands: the bus of a disk comes from a
// caller-supplied lookup.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

// Lines that `udevadm info` printed for the ID_BUS of kernel name `kernelName`
// (e.g. sda); empty when none.
using BusLookup = std::function<std::vector<std::string>(const std::string& kernelName)>;

// The command that prints the bus of disk `kernelName`.
std::string busQuery(const std::string& kernelName);

// True when partition `partitionName` lies on disk `diskName` (both full
// paths). The kernel names a partition after its disk plus the number, with
// a "p" between when the disk's name ends in a digit; so /dev/sdaa1 is not on
// /dev/sda, nor /dev/nvme0n10p1 on /dev/nvme0n1, nor /dev/sdap1 on /dev/sda.
bool partitionOfDisk(const std::string& partitionName, const std::string& diskName);

// One partition object from a partition row.
Json::Value partitionObject(const std::string& row);

// The inventory: one object per row of `diskRows` that is a whole disk on the
// wanted bus (usb, or any other bus when `usbOnly` is false), with its
// partitions from `partitionRows`. The bus is udev's ID_BUS where `busOf`
// finds one, otherwise what the kernel shows under `sysfsRoot`
// (kernelDiskBus); a disk with neither is left out. A target disk (`usbOnly`
// false) that cannot be written right now carries its reason as "InUse"
// (diskInUse). JSON null when no disk qualifies. Logs one line per disk whose
// bus is known.
Json::Value buildInventory(const std::vector<std::string>& diskRows, const std::vector<std::string>& partitionRows,
                           bool usbOnly, const BusLookup& busOf, const std::filesystem::path& sysfsRoot);
