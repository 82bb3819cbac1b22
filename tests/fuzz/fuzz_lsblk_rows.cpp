// Feeds arbitrary text as the output of `lsblk -o MAJ:MIN,MODEL,SIZE,TYPE -P`
// and of the udevadm DEVNAME query. Checks that every line becomes exactly one
// row, that a field is only ever a value that stood between its key and a
// closing quote, that no device number that is not two decimal numbers reaches
// the udevadm command line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "disks/block_device_rows.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', from)) {
    lines.push_back(text.substr(from, at - from));
    from = at + 1;
  }
  if (from < text.size()) lines.push_back(text.substr(from));
  return lines;
}

// A non-empty field must have been read as KEY + value + closing quote.
void checkField(const std::string& line, const char* key, const std::string& value) {
  check(value.find('"') == std::string::npos);
  if (!value.empty()) check(line.find(std::string(key) + "=\"" + value + "\"") != std::string::npos);
}

bool isDecimal(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

void checkDevnameQuery(const std::string& majMin) {
  const std::string command = devnameQuery(majMin);
  const size_t colon = majMin.find(':');
  const bool wellFormed =
      colon != std::string::npos && isDecimal(majMin.substr(0, colon)) && isDecimal(majMin.substr(colon + 1));
  check(command.empty() == !wellFormed);
  if (command.empty()) return;
  // Between the sysfs prefix and the pipe only digits and the escaped colon.
  const std::string prefix = "--path=/sys/dev/block/";
  const size_t start = command.find(prefix);
  check(start != std::string::npos);
  const size_t end = command.find(' ', start);
  check(end != std::string::npos);
  const std::string number = command.substr(start + prefix.size(), end - start - prefix.size());
  check(number.find_first_not_of("0123456789\\:") == std::string::npos);
  check(number == majMin.substr(0, colon) + "\\:" + majMin.substr(colon + 1));
}

void checkDevnameFromOutput(const std::string& output) {
  const std::string devname = devnameFromQueryOutput(output);
  const size_t lineEnd = output.find('\n');
  if (lineEnd == std::string::npos) {
    check(devname.empty());
    return;
  }
  check(devname.find('\n') == std::string::npos);
  check(output.substr(0, lineEnd).find(devname) != std::string::npos);
  if (!devname.empty()) {
    for (const char edge : {devname.front(), devname.back()}) {
      check(edge != ' ' && edge != '\t' && edge != '\r');
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = linesOf(text);
  std::vector<SLsblk> rows = parseLsblkListing(text);
  check(rows.size() == lines.size());

  for (size_t i = 0; i < rows.size(); ++i) {
    const SLsblk& row = rows[i];
    check(row.devname.empty());
    checkField(lines[i], "MAJ:MIN", row.maj_min);
    checkField(lines[i], "MODEL", row.model);
    checkField(lines[i], "SIZE", row.size);
    checkField(lines[i], "TYPE", row.type);
    checkDevnameQuery(row.maj_min);
  }

  checkDevnameFromOutput(text);
  return 0;
}
