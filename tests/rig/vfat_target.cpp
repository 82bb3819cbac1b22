#include "rig/vfat_target.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

std::string fileSystemOn(const std::string& device) {
  std::string type = runProgram({"blkid", "-p", "-s", "TYPE", "-o", "value", device}).output;
  while (!type.empty() && (type.back() == '\n' || type.back() == ' ')) {
    type.pop_back();
  }
  return type;
}

VfatTarget::VfatTarget() : rig_(std::make_unique<Rig>(std::vector<RigDiskSpec>{{"target", "internal", "64M"}})) {
  rig_->partition("target", "label: dos\nsize=16M, type=83\n");
  rig_->mkfs("target", 1, "vfat");
  partition_ = rig_->partition("target", 1);
}

std::string ext4VolumeBytes(const std::filesystem::path& folder) {
  const std::filesystem::path file = folder / "volume.img";
  if (runProgram({"truncate", "-s", "8M", file.string()}).status != 0 ||
      runProgram({"mkfs.ext4", "-q", "-F", file.string()}).status != 0) {
    return std::string();
  }
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}
