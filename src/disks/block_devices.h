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

// Device path of row `row` of the listing of `disk` when that row is a
// partition; empty otherwise.
std::string getPartitionPath(const std::string& disk, int row);
