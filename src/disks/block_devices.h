#pragma once
// One block device and the devices below it, as lsblk lists them, with each
// row's device node found through udevadm.
#include <string>
#include <vector>

struct SLsblk {
  std::string maj_min;
  std::string model;
  std::string size;
  std::string type;
  std::string devname;
};

std::vector<SLsblk> lsblk(const std::string& device);

// Device path of partition number `number` of `disk` as the kernel has it
// now (not row `number` of the listing, which a gap in the numbering or
// devices stacked on a partition would shift); empty while there is none.
std::string getPartitionPath(const std::string& disk, int number);
