#include "disks/kernel_disk_bus.h"

#include <fstream>
#include <vector>

#include "support/text.h"

namespace fs = std::filesystem;

namespace {

// Subsystems of the device and its parents, nearest first.
std::vector<std::string> subsystemChain(const fs::path& sysfsRoot, const fs::path& device) {
  std::vector<std::string> chain;
  std::error_code error;
  const fs::path devices = fs::weakly_canonical(sysfsRoot / "devices", error);
  for (fs::path at = device; !at.empty() && at != devices && at != at.root_path(); at = at.parent_path()) {
    const fs::path link = fs::read_symlink(at / "subsystem", error);
    if (!error) {
      chain.push_back(link.filename().string());
    }
  }
  return chain;
}

std::string firstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return trim(line);
}

// SCSI peripheral device types of disks: 0 direct access (SATA and SAS
// disks, USB mass storage), 14 simplified direct access. An optical drive
// is type 5.
bool scsiDisk(const fs::path& device) {
  const std::string type = firstLine(device / "type");
  return type == "0" || type == "14";
}

}  // namespace

std::string kernelDiskBus(const fs::path& sysfsRoot, const std::string& kernelName) {
  if (kernelName.empty() || kernelName.find('/') != std::string::npos) {
    return std::string();
  }
  std::error_code error;
  const fs::path device = fs::canonical(sysfsRoot / "class" / "block" / kernelName / "device", error);
  if (error) {
    return std::string();
  }
  const std::vector<std::string> chain = subsystemChain(sysfsRoot, device);
  for (const std::string& subsystem : chain) {
    if (subsystem == "usb") {
      return "usb";
    }
  }
  if (chain.empty()) {
    return std::string();
  }
  const std::string& nearest = chain.front();
  if (nearest == "scsi") {
    return scsiDisk(device) ? "scsi" : std::string();
  }
  // A namespace of an NVMe disk with several paths hangs below an
  // nvme-subsystem device rather than below its controller.
  if (nearest == "nvme" || nearest == "nvme-subsystem") {
    return "nvme";
  }
  if (nearest == "virtio" || nearest == "mmc") {
    return nearest;
  }
  return std::string();
}
