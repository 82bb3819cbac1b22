#include "disks/block_device_rows.h"

#include "support/text.h"

namespace {

bool isDecimal(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

SLsblk parseLsblkRow(const std::string& line) {
  SLsblk row;
  row.maj_min = getbetween("MAJ:MIN=\"", "\"", line);
  row.model = getbetween("MODEL=\"", "\"", line);
  row.size = getbetween("SIZE=\"", "\"", line);
  row.type = getbetween("TYPE=\"", "\"", line);
  return row;
}

std::vector<SLsblk> parseLsblkListing(const std::string& output) {
  std::vector<std::string> lines;
  TokenizeMail(output, lines, "\n");
  std::vector<SLsblk> rows;
  rows.reserve(lines.size());
  for (const auto& line : lines) {
    rows.push_back(parseLsblkRow(line));
  }
  return rows;
}

std::string devnameQuery(const std::string& majMin) {
  const auto colon = majMin.find(':');
  if (colon == std::string::npos || !isDecimal(majMin.substr(0, colon)) || !isDecimal(majMin.substr(colon + 1))) {
    return {};
  }
  const std::string escaped = greplace(":", "\\:", majMin);
  return "udevadm info --query=property --path=/sys/dev/block/" + escaped +
         " | grep \"DEVNAME=\" | sed 's/DEVNAME=//' - 1> out";
}

std::string devnameFromQueryOutput(const std::string& output) {
  return trim(getuntil("\n", output));
}
