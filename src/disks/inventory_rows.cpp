#include "disks/inventory_rows.h"

#include "disks/disk_use.h"
#include "disks/kernel_disk_bus.h"
#include "support/log_line.h"
#include "support/text.h"

namespace {

std::string value(const char* key, const std::string& row) {
  return getbetween(std::string(key) + "=\"", "\"", row);
}

std::string withoutDev(std::string name) {
  string_Replace(name, "/dev/", "");
  return name;
}

bool isDecimal(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string busQuery(const std::string& kernelName) {
  return "udevadm info --query=property --path=\"/sys/block/" + kernelName +
         "\" | grep ID_BUS | awk -F \"=\" '{print $2}'";
}

bool partitionOfDisk(const std::string& partitionName, const std::string& diskName) {
  if (diskName.empty() || partitionName.size() <= diskName.size() ||
      partitionName.compare(0, diskName.size(), diskName) != 0) {
    return false;
  }
  const std::string suffix = partitionName.substr(diskName.size());
  const bool diskEndsInDigit = diskName.back() >= '0' && diskName.back() <= '9';
  if (diskEndsInDigit) {
    return suffix.size() > 1 && suffix[0] == 'p' && isDecimal(suffix.substr(1));
  }
  return isDecimal(suffix);
}

Json::Value partitionObject(const std::string& row) {
  Json::Value partition;
  partition["name"] = withoutDev(value("NAME", row));
  partition["size"] = value("SIZE", row);
  partition["FsType"] = value("FSTYPE", row);
  partition["MOUNTPOINT"] = value("MOUNTPOINT", row);
  partition["used_size"] = "";
  return partition;
}

Json::Value buildInventory(const std::vector<std::string>& diskRows, const std::vector<std::string>& partitionRows,
                           bool usbOnly, const BusLookup& busOf, const std::filesystem::path& sysfsRoot) {
  Json::Value result;
  for (const auto& row : diskRows) {
    const std::string name = value("NAME", row);
    // The disk query keeps every row that mentions "disk" anywhere (a model
    // text, a partition label); only whole disks may become restore targets.
    if (name.empty() || value("TYPE", row) != "disk") {
      continue;
    }
    // udev gives no ID_BUS to NVMe and virtio disks (Debian 12), nor to any
    // disk where no udev daemon runs; the kernel's own view decides then.
    const std::vector<std::string> udevBus = busOf(withoutDev(name));
    const std::string bus = udevBus.empty() ? kernelDiskBus(sysfsRoot, withoutDev(name)) : udevBus[0];
    if (bus.empty()) {
      continue;
    }
    logLine(name + "  " + bus);
    if ((bus == "usb") != usbOnly) {
      continue;
    }

    Json::Value disk;
    disk["Device"] = name;
    disk["Model"] = value("MODEL", row);
    disk["Size"] = value("SIZE", row);
    for (const auto& partitionRow : partitionRows) {
      if (partitionOfDisk(value("NAME", partitionRow), name)) {
        disk["partitions"].append(partitionObject(partitionRow));
      }
    }
    if (!usbOnly) {
      if (const std::string inUse = diskInUse(sysfsRoot, disk, value("MOUNTPOINT", row)); !inUse.empty()) {
        disk["InUse"] = inUse;
      }
    }
    result.append(disk);
  }
  return result;
}
