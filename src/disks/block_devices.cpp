#include "disks/block_devices.h"

#include "blockdev/partition_lookup.h"
#include "disks/block_device_rows.h"
#include "support/command.h"
#include "support/shell_quote.h"
#include "support/text.h"

// Both commands write into the scratch file "out" in the working directory;
// only one workflow runs at a time, so nobody else writes it meanwhile.
std::vector<SLsblk> lsblk(const std::string& device) {
  if (runSystem("lsblk -o MAJ:MIN,MODEL,SIZE,TYPE -P " + shellQuote(device) + " 1> out") != 0) {
    return {};
  }
  std::vector<SLsblk> rows = parseLsblkListing(getFile("out"));
  for (auto& row : rows) {
    const std::string query = devnameQuery(row.maj_min);
    if (!query.empty() && runSystem(query) == 0) {
      row.devname = devnameFromQueryOutput(getFile("out"));
    }
  }
  return rows;
}

std::string getPartitionPath(const std::string& disk, int number) { return blockdev::partitionNode(disk, number); }
