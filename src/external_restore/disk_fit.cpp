#include "external_restore/disk_fit.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <vector>

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

// A source of size 0 or less could not be measured: it fits nothing, as a
// restore onto a disk of unknown fit could end past the disk's end.
bool holds(int64_t target, int64_t source) { return source > 0 && target >= source; }

bool fitsOne(int64_t source, const std::vector<int64_t>& targets, const std::vector<bool>& taken) {
  for (size_t t = 0; t < targets.size(); ++t) {
    if (!taken[t] && holds(targets[t], source)) {
      return true;
    }
  }
  return false;
}

// The "2" report: the source's size and the sizes of the targets that cannot
// take it (too small, or given to another source), in target order.
Json::Value notFitting(int64_t source, const std::vector<int64_t>& targets, const std::vector<bool>& taken) {
  Json::Value reply;
  reply["op"] = "-i";
  reply["error"] = "2";
  reply["source_size"] = Json::Int64(source);
  Json::Value sizes(Json::arrayValue);
  for (size_t t = 0; t < targets.size(); ++t) {
    if (taken[t] || !holds(targets[t], source)) {
      sizes.append(Json::Int64(targets[t]));
    }
  }
  reply["target_size"] = sizes;
  return reply;
}

// Source indexes, largest first (ties in source order).
std::vector<size_t> largestFirst(const std::vector<int64_t>& sources) {
  std::vector<size_t> order(sources.size());
  for (size_t i = 0; i < order.size(); ++i) {
    order[i] = i;
  }
  std::stable_sort(order.begin(), order.end(), [&sources](size_t a, size_t b) { return sources[a] > sources[b]; });
  return order;
}

// Gives `source` the smallest free target that holds it; false when none does.
bool place(int64_t source, const std::vector<int64_t>& targets, std::vector<bool>& used) {
  std::optional<size_t> best;
  for (size_t t = 0; t < targets.size(); ++t) {
    if (!used[t] && holds(targets[t], source) && (!best || targets[t] < targets[*best])) {
      best = t;
    }
  }
  if (best) {
    used[*best] = true;
  }
  return best.has_value();
}

// Places the sources before `stop` in largest-first order.
void placeLargerSources(const std::vector<int64_t>& sources, size_t stop, const std::vector<int64_t>& targets,
                        std::vector<bool>& used) {
  for (const size_t s : largestFirst(sources)) {
    if (s == stop) {
      return;
    }
    place(sources[s], targets, used);
  }
}

// Every source on a target of its own: largest source first onto the
// smallest free target that holds it, which finds such an assignment whenever
// one exists. The first source left without a target, if any.
std::optional<size_t> unassignedSource(const std::vector<int64_t>& sources, const std::vector<int64_t>& targets) {
  std::vector<bool> used(targets.size(), false);
  for (const size_t s : largestFirst(sources)) {
    if (!place(sources[s], targets, used)) {
      return s;
    }
  }
  return std::nullopt;
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
  std::vector<int64_t> target_sizes;
  for (Json::ArrayIndex t = 0; t < target_count; ++t) {
    target_sizes.push_back(targetSize(targets[t]));
  }
  std::vector<int64_t> source_sizes;
  for (Json::ArrayIndex s = 0; s < source_count; ++s) {
    source_sizes.push_back(sources[s]["Size"].asInt64());
  }
  const std::vector<bool> taken(target_sizes.size(), false);
  for (const int64_t size : source_sizes) {
    if (!fitsOne(size, target_sizes, taken)) {
      return notFitting(size, target_sizes, taken);
    }
  }
  const std::optional<size_t> unplaced = unassignedSource(source_sizes, target_sizes);
  if (unplaced) {
    // Each source fits some target alone, but not every source can have a
    // target of its own: this one is left over once the larger ones are placed.
    std::vector<bool> used(target_sizes.size(), false);
    placeLargerSources(source_sizes, *unplaced, target_sizes, used);
    return notFitting(source_sizes[*unplaced], target_sizes, used);
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
