#pragma once
// What the kernel tells about block devices through sysfs (and udev's
// database where present), by device number rather than by node name.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace blockdev {

// /sys/dev/block/<major>:<minor>
std::filesystem::path sysfsDirectory(dev_t device);

// The first line of a sysfs attribute, blanks trimmed; empty when absent.
std::string sysfsAttribute(const std::filesystem::path& file);

// A value of the property `key` in udev's database entry of the block device;
// empty when udev keeps none.
std::string udevProperty(dev_t device, const std::string& key);

// One partition of a disk as the kernel has it now.
struct KernelPartition {
  int number = 0;
  std::string name;  // kernel name, e.g. sda2 or loop0p2
  dev_t device = 0;
  uint64_t start = 0;  // bytes from the start of the disk
  uint64_t size = 0;   // bytes
};

// The partitions the kernel has for the disk, in no particular order.
std::vector<KernelPartition> kernelPartitions(dev_t disk);

}  // namespace blockdev
