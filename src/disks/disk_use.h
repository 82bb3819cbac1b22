#pragma once
// Why a disk of the inventory cannot be written right now, in words a
// technician understands; the user still sees such a disk but cannot pick it.
#include <filesystem>
#include <string>

#include <json/value.h>

// The reason the disk object `disk` of the inventory (with its "partitions"
// and their "MOUNTPOINT"; `diskMountpoint` is the whole disk's) is in use:
// the disk or a partition mounted or active as swap, or held by another
// block device (md, LVM, device-mapper), as class/block/<name>/holders under
// `sysfsRoot` shows it. Empty when nothing holds it.
std::string diskInUse(const std::filesystem::path& sysfsRoot, const Json::Value& disk,
                      const std::string& diskMountpoint);
