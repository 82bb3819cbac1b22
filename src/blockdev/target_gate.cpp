#include "blockdev/target_gate.h"

#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <optional>

namespace blockdev {

namespace {

std::mutex reportedMutex;
std::vector<DiskIdentity> reported;

std::optional<dev_t> deviceNumber(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
    return std::nullopt;
  }
  return info.st_rdev;
}

bool listed(dev_t device, const std::vector<std::string>& inventory) {
  for (const std::string& disk : inventory) {
    if (deviceNumber(disk) == device) {
      return true;
    }
  }
  return false;
}

std::optional<DiskIdentity> reportedIdentity(dev_t device) {
  const std::lock_guard lock(reportedMutex);
  for (const DiskIdentity& identity : reported) {
    if (identity.device == device) {
      return identity;
    }
  }
  return std::nullopt;
}

bool absoluteDevPath(const std::string& path) {
  const std::filesystem::path given(path);
  return path.rfind("/dev/", 0) == 0 && given.lexically_normal() == given;
}

}  // namespace

void rememberReportedTargets(const std::vector<std::string>& paths) {
  std::vector<DiskIdentity> identities;
  for (const std::string& path : paths) {
    DiskIdentity identity;
    std::string ignored;
    if (readIdentity(path, identity, ignored)) {
      identities.push_back(identity);
    }
  }
  const std::lock_guard lock(reportedMutex);
  reported = std::move(identities);
}

bool admitTarget(const std::string& path, const std::vector<std::string>& inventory, BlockDevice& device,
                 std::string& error) {
  if (!absoluteDevPath(path)) {
    error = "target " + path + " is no absolute path under /dev";
    return false;
  }
  const std::optional<dev_t> number = deviceNumber(path);
  if (!number) {
    error = "target " + path + " is not a block device";
    return false;
  }
  if (isPartitionDevice(path)) {
    error = "target " + path + " is a partition; a restore target is a whole disk";
    return false;
  }
  if (!listed(*number, inventory)) {
    error = "target " + path + " is not one of the disks the inventory lists";
    return false;
  }
  if (!device.open(path, DeviceKind::WholeDisk, error)) {
    return false;
  }
  // The looks above went by the path, which another disk may have taken over
  // before the open. The open checked the kind of the disk behind its
  // descriptor (fstat); that disk must be the one found listed, and its
  // identity is what is compared with the report.
  const dev_t opened = device.identity().device;
  if (opened != *number) {
    error = "target " + path + " changed while it was opened";
    device.close();
    return false;
  }
  const std::optional<DiskIdentity> expected = reportedIdentity(opened);
  if (!expected) {
    error = "target " + path + " was not among the disks reported before the restore";
    device.close();
    return false;
  }
  if (!(*expected == device.identity())) {
    error = "target " + path + " is not the disk reported before the restore (reported " + expected->text() +
            ", now " + device.identity().text() + ")";
    device.close();
    return false;
  }
  return true;
}

}  // namespace blockdev
