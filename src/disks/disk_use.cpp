#include "disks/disk_use.h"

namespace fs = std::filesystem;

namespace {

std::string withoutDev(const std::string& path) { return path.rfind("/dev/", 0) == 0 ? path.substr(5) : path; }

// The first device that holds `kernelName`, or empty.
std::string holderOf(const fs::path& sysfsRoot, const std::string& kernelName) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(sysfsRoot / "class" / "block" / kernelName / "holders", error)) {
    return entry.path().filename().string();
  }
  return std::string();
}

}  // namespace

std::string diskInUse(const fs::path& sysfsRoot, const Json::Value& disk, const std::string& diskMountpoint) {
  const std::string device = disk["Device"].asString();
  // lsblk shows an active swap area as the mount point "[SWAP]".
  if (diskMountpoint == "[SWAP]") {
    return device + " is in use as swap";
  }
  if (!diskMountpoint.empty()) {
    return device + " is mounted on " + diskMountpoint;
  }
  const Json::Value& partitions = disk["partitions"];
  for (const Json::Value& partition : partitions) {
    const std::string mountpoint = partition["MOUNTPOINT"].asString();
    const std::string name = "/dev/" + partition["name"].asString();
    if (mountpoint == "[SWAP]") {
      return "partition " + name + " of " + device + " is in use as swap";
    }
    if (!mountpoint.empty()) {
      return "partition " + name + " of " + device + " is mounted on " + mountpoint;
    }
  }
  if (const std::string holder = holderOf(sysfsRoot, withoutDev(device)); !holder.empty()) {
    return device + " is in use by /dev/" + holder + " (RAID, LVM or device-mapper)";
  }
  for (const Json::Value& partition : partitions) {
    const std::string name = partition["name"].asString();
    if (const std::string holder = holderOf(sysfsRoot, name); !holder.empty()) {
      return "partition /dev/" + name + " of " + device + " is in use by /dev/" + holder +
             " (RAID, LVM or device-mapper)";
    }
  }
  return std::string();
}
