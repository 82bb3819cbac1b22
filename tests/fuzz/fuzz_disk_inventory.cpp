// Feeds arbitrary `lsblk -P -p -b` rows to the disk inventory builder, with a
// bus lookup that answers from the input itself instead of running udevadm.
// Checks the shape of the JSON inventory (null or a non-empty array; exactly
// the documented members, all text), that only whole disks on the wanted bus
// are listed, and that a partition is listed only under the disk whose name
// it extends with a partition number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <json/value.h>

#include "disks/inventory_rows.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

std::string value(const char* key, const std::string& row) {
  const std::string start = std::string(key) + "=\"";
  const size_t found = row.find(start);
  if (found == std::string::npos) return {};
  const size_t end = row.find('"', found + start.size());
  return end == std::string::npos ? std::string() : row.substr(found + start.size(), end - found - start.size());
}

// Every "/dev/" removed in one pass from the left, as the inventory does.
std::string withoutDev(const std::string& name) {
  std::string out;
  size_t from = 0;
  for (size_t at = name.find("/dev/"); at != std::string::npos; at = name.find("/dev/", from)) {
    out += name.substr(from, at - from);
    from = at + 5;
  }
  return out + name.substr(from);
}

bool isDecimal(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (;;) {
    const size_t at = text.find('\n', from);
    const std::string line = text.substr(from, at == std::string::npos ? std::string::npos : at - from);
    if (!line.empty()) lines.push_back(line);
    if (at == std::string::npos) break;
    from = at + 1;
  }
  return lines;
}

// The bus of a kernel name, chosen by its length so that the fuzzer can steer
// it: nothing, usb, ata, or a line that is neither.
std::vector<std::string> busFor(const std::string& kernelName) {
  switch (kernelName.size() % 4) {
    case 0: return {};
    case 1: return {"usb"};
    case 2: return {"ata", "usb"};
    default: return {"usb "};
  }
}

void checkMembers(const Json::Value& object, const std::set<std::string>& required,
                  const std::set<std::string>& optional) {
  check(object.isObject());
  for (const std::string& name : required) check(object.isMember(name));
  for (const std::string& name : object.getMemberNames()) {
    check(required.count(name) + optional.count(name) == 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool usbOnly = (data[0] & 1) != 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  // Disk rows, then after a line "--" the partition rows.
  const size_t split = text.find("\n--\n");
  const std::vector<std::string> diskRows = splitLines(text.substr(0, split));
  const std::vector<std::string> partitionRows =
      split == std::string::npos ? std::vector<std::string>() : splitLines(text.substr(split + 4));

  std::set<std::string> asked;
  // No sysfs tree: the bus comes from the lookup alone, as udev gives it.
  const Json::Value inventory = buildInventory(
      diskRows, partitionRows, usbOnly,
      [&asked](const std::string& name) {
        asked.insert(name);
        return busFor(name);
      },
      "/nonexistent-sysfs");

  // The disks that may be listed: whole disks whose bus answer selects them.
  std::set<std::string> eligible;
  for (const std::string& row : diskRows) {
    const std::string name = value("NAME", row);
    if (name.empty() || value("TYPE", row) != "disk") continue;
    check(asked.count(withoutDev(name)) == 1);
    const std::vector<std::string> bus = busFor(withoutDev(name));
    if (!bus.empty() && (bus[0] == "usb") == usbOnly) eligible.insert(name);
  }

  if (inventory.isNull()) {
    check(eligible.empty());
    return 0;
  }
  check(inventory.isArray() && !inventory.empty());
  size_t listed = 0;
  for (const Json::Value& disk : inventory) {
    checkMembers(disk, {"Device", "Model", "Size"}, {"partitions", "InUse"});
    for (const char* member : {"Device", "Model", "Size"}) check(disk[member].isString());
    // A disk the user may not pick says why; only target disks are marked.
    if (disk.isMember("InUse")) check(!usbOnly && disk["InUse"].isString() && !disk["InUse"].asString().empty());
    const std::string device = disk["Device"].asString();
    check(eligible.count(device) == 1);
    ++listed;
    if (!disk.isMember("partitions")) continue;
    const Json::Value& partitions = disk["partitions"];
    check(partitions.isArray() && !partitions.empty());
    for (const Json::Value& partition : partitions) {
      checkMembers(partition, {"name", "size", "FsType", "MOUNTPOINT", "used_size"}, {});
      for (const std::string& member : partition.getMemberNames()) check(partition[member].isString());
      check(partition["used_size"].asString().empty());
      // The partition's name is the disk's plus a number ("p" and a number
      // after a disk name ending in a digit).
      const std::string name = partition["name"].asString();
      const std::string diskName = withoutDev(device);
      check(name.size() > diskName.size() && name.compare(0, diskName.size(), diskName) == 0);
      const std::string suffix = name.substr(diskName.size());
      const bool digitEnd = device.back() >= '0' && device.back() <= '9';
      check(digitEnd ? suffix[0] == 'p' && isDecimal(suffix.substr(1)) : isDecimal(suffix));
    }
  }
  check(listed <= diskRows.size());
  return 0;
}
