#include "blockdev/sysfs.h"

#include <sys/sysmacros.h>

#include <charconv>
#include <fstream>

#include "support/text.h"

namespace blockdev {

namespace {

// sysfs counts starts and sizes in 512-byte units, whatever the disk's blocks.
constexpr uint64_t sysfsSector = 512;

bool parseNumber(const std::string& text, uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseDevice(const std::string& text, dev_t& device) {
  const size_t colon = text.find(':');
  uint64_t major_number = 0;
  uint64_t minor_number = 0;
  if (colon == std::string::npos || !parseNumber(text.substr(0, colon), major_number) ||
      !parseNumber(text.substr(colon + 1), minor_number)) {
    return false;
  }
  device = makedev(static_cast<unsigned>(major_number), static_cast<unsigned>(minor_number));
  return true;
}

}  // namespace

std::filesystem::path sysfsDirectory(dev_t device) {
  return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::string sysfsAttribute(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return trim(line);
}

std::string udevProperty(dev_t device, const std::string& key) {
  std::ifstream in("/run/udev/data/b" + std::to_string(major(device)) + ":" + std::to_string(minor(device)));
  const std::string prefix = "E:" + key + "=";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) {
      return line.substr(prefix.size());
    }
  }
  return std::string();
}

std::vector<KernelPartition> kernelPartitions(dev_t disk) {
  std::vector<KernelPartition> partitions;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(sysfsDirectory(disk), error)) {
    const std::filesystem::path& dir = entry.path();
    uint64_t number = 0;
    uint64_t start = 0;
    uint64_t size = 0;
    KernelPartition partition;
    if (!parseNumber(sysfsAttribute(dir / "partition"), number) || !parseNumber(sysfsAttribute(dir / "start"), start) ||
        !parseNumber(sysfsAttribute(dir / "size"), size) || !parseDevice(sysfsAttribute(dir / "dev"), partition.device)) {
      continue;
    }
    partition.number = static_cast<int>(number);
    partition.name = dir.filename().string();
    partition.start = start * sysfsSector;
    partition.size = size * sysfsSector;
    partitions.push_back(partition);
  }
  return partitions;
}

}  // namespace blockdev
