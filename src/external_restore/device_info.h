#pragma once
// One source disk of a disk report: how large it was and which of the chosen
// images (paths or image keys) lie on it, in request order.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct device_info {
  int64_t size = 0;
  std::vector<std::string> drives;
};

// Source disks by the decimal text of their device number, in text order
// ("10" before "2"), as the user interface lists them.
using SourceDiskMap = std::map<std::string, device_info>;
