#include "disks/disk_inventory.h"

#include "disks/inventory_rows.h"
#include "support/command.h"
#include "support/log_line.h"

namespace {

std::vector<std::string> runAndLog(const std::string& command, const std::string& label) {
  std::string output;
  const std::vector<std::string> rows = runCommand(command, output);
  for (const auto& row : rows) {
    logLine(label + " is " + row);
  }
  if (rows.empty()) {
    logLine(label + " is empty");
  }
  return rows;
}

}  // namespace

Json::Value GetDiskInfo(bool usb_only) {
  const std::vector<std::string> disks = runAndLog(
      "sudo lsblk -o NAME,TYPE,SIZE,PARTLABEL,FSTYPE,MOUNTPOINT,MODEL -P -p -b | grep \"disk\" | grep -v \"grep\"",
      "Disk");
  const std::vector<std::string> partitions = runAndLog(
      "sudo lsblk -o NAME,TYPE,SIZE,PARTLABEL,FSTYPE,MOUNTPOINT,MODEL -P -p -b | grep 'TYPE=\"part\"' | grep -v "
      "\"grep\"",
      "Part");
  return buildInventory(disks, partitions, usb_only, [](const std::string& kernelName) {
    std::string output;
    return runCommand(busQuery(kernelName), output);
  }, "/sys");
}
