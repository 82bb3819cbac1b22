#include "external_restore/disk_fit.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "support/text.h"

namespace {

// An inventory size is decimal text; text that is no number counts as 0, so
// such a disk is too small for any source that has partitions.
int64_t targetSize(const Json::Value& target) {
  const Json::Value& size = target["Size"];
  return size.isString() ? std::strtoll(size.asCString(), nullptr, 10) : 0;
}

Json::ArrayIndex countOf(const Json::Value& list) {
  return list.isArray() ? list.size() : 0;
}

}  // namespace

Json::Value sourceDiskArray(const SourceDiskMap& sources) {
  Json::Value disks;
  for (const auto& [number, disk] : sources) {
    Json::Value entry;
    entry["Name"] = "Disk " + number;
    entry["Size"] = Json::Int64(disk.size);
    entry["Drives"] = Json::Value(Json::arrayValue);
    for (const std::string& drive : disk.drives) {
      entry["Drives"].append(drive);
    }
    disks.append(entry);
  }
  return disks;
}

Json::Value diskFitReport(Json::Value& report) {
  const Json::Value& targets = report["TargetDrives"];
  const Json::Value& sources = report["SourceDisk"];
  const Json::ArrayIndex target_count = countOf(targets);
  const Json::ArrayIndex source_count = countOf(sources);

  if (target_count < source_count) {
    Json::Value reply;
    reply["op"] = "-i";
    reply["error"] = "1";
    reply["source_count"] = Json::UInt(source_count);
    reply["target_count"] = Json::UInt(target_count);
    return reply;
  }
  for (Json::ArrayIndex s = 0; s < source_count; ++s) {
    const int64_t source_size = sources[s]["Size"].asInt64();
    Json::Value smaller(Json::arrayValue);
    bool fits = false;
    for (Json::ArrayIndex t = 0; t < target_count; ++t) {
      const int64_t size = targetSize(targets[t]);
      if (size >= source_size) {
        fits = true;
      } else {
        smaller.append(Json::Int64(size));
      }
    }
    if (!fits) {
      Json::Value reply;
      reply["op"] = "-i";
      reply["error"] = "2";
      reply["source_size"] = Json::Int64(source_size);
      reply["target_size"] = smaller;
      return reply;
    }
  }
  report["error"] = "0";
  report["op"] = "-i";
  return report;
}

uint64_t largestEndSector(const std::vector<std::string>& partition_rows) {
  uint64_t largest = 0;
  for (std::string row : partition_rows) {
    const size_t boot_flag = row.find('*');
    if (boot_flag != std::string::npos) {
      row.erase(boot_flag, 1);
    }
    const std::vector<std::string> pieces = split(row, ' ');
    if (pieces.size() < 3) {
      continue;
    }
    const std::string& end_text = pieces[2];
    uint64_t end = 0;
    const auto [ptr, ec] = std::from_chars(end_text.data(), end_text.data() + end_text.size(), end);
    if (ec == std::errc() && ptr == end_text.data() + end_text.size()) {
      largest = std::max(largest, end);
    }
  }
  return largest;
}
