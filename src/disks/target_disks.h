#pragma once
// The local disks a restore may write to: the non-USB disk inventory, as the
// disk report offers it and as the target gate checks it again at "-r".
#include <string>
#include <vector>

#include <json/value.h>

// The non-USB disk inventory, as GetDiskInfo(false) gives it, with the
// identity of each of its disks noted, so that a restore can tell whether its
// target is still the disk the user was shown.
Json::Value reportTargetDisks();

// The "Device" paths of an inventory value.
std::vector<std::string> inventoryDevices(const Json::Value& inventory);

// The "Device" paths of the non-USB disk inventory as it is now.
std::vector<std::string> currentTargetDisks();

// The reason to show the user for refusing `target`: why the inventory holds
// it in use (a mounted partition, active swap, an md/LVM/dm holder) where it
// does, since the system's own word for that is only "busy"; `why` otherwise.
std::string targetRefusalReason(const std::string& target, const std::string& why);
