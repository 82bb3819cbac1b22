#include "volume_probe.h"

#include <sys/stat.h>

#include "support/command.h"
#include "support/shell_quote.h"
#include "support/text.h"

VolumeDescription probeVolume(const std::string& disk, const PartitionRange& range) {
  // -p reads the superblocks themselves: without a udev database the cached
  // view knows nothing about file systems.
  std::string output;
  const auto lines = runCommand("blkid -p -u filesystem -o export -O " + std::to_string(range.start) + " -S " +
                                    std::to_string(range.length) + " " + shellQuote(disk) + " 2>/dev/null",
                                output);
  VolumeDescription description;
  for (const std::string& line : lines) {
    if (line.rfind("TYPE=", 0) == 0) {
      description.fsn = line.substr(5);
    } else if (line.rfind("LABEL=", 0) == 0) {
      description.label = line.substr(6);
    }
  }
  return description;
}

std::string diskSerial(const std::string& disk) {
  struct stat info {};
  if (::stat(disk.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
    return std::string();
  }
  std::string output;
  runCommand("lsblk -dno SERIAL " + shellQuote(disk) + " 2>/dev/null", output);
  return trim(output);
}
