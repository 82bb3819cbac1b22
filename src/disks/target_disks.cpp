#include "disks/target_disks.h"

#include "blockdev/target_gate.h"
#include "disks/disk_inventory.h"

Json::Value reportTargetDisks() {
  Json::Value inventory = GetDiskInfo(false);
  blockdev::rememberReportedTargets(inventoryDevices(inventory));
  return inventory;
}

std::vector<std::string> inventoryDevices(const Json::Value& inventory) {
  std::vector<std::string> devices;
  if (!inventory.isArray()) {
    return devices;
  }
  for (const Json::Value& disk : inventory) {
    if (disk.isObject() && disk["Device"].isString()) {
      devices.push_back(disk["Device"].asString());
    }
  }
  return devices;
}

std::vector<std::string> currentTargetDisks() { return inventoryDevices(GetDiskInfo(false)); }

std::string targetRefusalReason(const std::string& target, const std::string& why) {
  const Json::Value inventory = GetDiskInfo(false);
  if (inventory.isArray()) {
    for (const Json::Value& disk : inventory) {
      if (disk["Device"].asString() == target && disk["InUse"].isString()) {
        return disk["InUse"].asString();
      }
    }
  }
  return why;
}
