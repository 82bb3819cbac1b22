#include "restore_plan.h"

#include <algorithm>
#include <set>

#include "sentences.h"

namespace restorectl {
namespace {

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (true) {
    const auto comma = text.find(',', start);
    items.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) {
      return items;
    }
    start = comma + 1;
  }
}

const SourceDisk* sourceOf(const DiskReport& report, const std::string& image) {
  for (const auto& source : report.sources) {
    if (std::find(source.images.begin(), source.images.end(), image) != source.images.end()) {
      return &source;
    }
  }
  return nullptr;
}

const TargetDisk* targetNamed(const DiskReport& report, const std::string& device) {
  for (const auto& target : report.targets) {
    if (target.device == device) {
      return &target;
    }
  }
  return nullptr;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::optional<std::vector<RestoreTarget>> parseMaps(const std::vector<std::string>& mappings,
                                                    std::string& error) {
  std::vector<RestoreTarget> targets;
  std::set<std::string> seen;
  for (const auto& mapping : mappings) {
    const auto equals = mapping.find('=');
    if (equals == std::string::npos) {
      error = "--map " + mapping + ": write DEVICE=IMAGE[,IMAGE...]";
      return std::nullopt;
    }
    const std::string device = mapping.substr(0, equals);
    if (device.rfind("/dev/", 0) != 0 || device.size() == 5) {
      error = "--map " + mapping + ": the target must be a device under /dev/";
      return std::nullopt;
    }
    auto target = std::find_if(targets.begin(), targets.end(),
                               [&](const RestoreTarget& t) { return t.device == device; });
    if (target == targets.end()) {
      targets.push_back({device, {}});
      target = targets.end() - 1;
    }
    for (const auto& image : splitList(mapping.substr(equals + 1))) {
      if (image.empty()) {
        error = "--map " + mapping + ": empty image name";
        return std::nullopt;
      }
      if (!seen.insert(image).second) {
        error = "the image " + image + " is mapped twice";
        return std::nullopt;
      }
      target->images.push_back(image);
    }
  }
  if (targets.empty()) {
    error = "no --map given: say which images go onto which disk";
    return std::nullopt;
  }
  return targets;
}

std::vector<std::string> planImages(const std::vector<RestoreTarget>& targets) {
  std::vector<std::string> images;
  for (const auto& target : targets) {
    images.insert(images.end(), target.images.begin(), target.images.end());
  }
  return images;
}

std::optional<std::string> checkPlan(const std::vector<RestoreTarget>& targets,
                                     const DiskReport& report) {
  for (const auto& target : targets) {
    const TargetDisk* disk = targetNamed(report, target.device);
    if (disk == nullptr) {
      std::vector<std::string> offered;
      for (const auto& t : report.targets) {
        offered.push_back(t.device);
      }
      return target.device + " is not one of the agent's target disks (" +
             (offered.empty() ? std::string("it offers none") : "it offers " + joinNames(offered)) +
             "); restorectl writes only onto a disk that the agent offers as a target.";
    }
    const SourceDisk* first = nullptr;
    std::string firstImage;
    for (const auto& image : target.images) {
      const SourceDisk* source = sourceOf(report, image);
      if (source == nullptr) {
        return "The agent could not read the partition table of " + quoted(image) +
               ", so it cannot be restored.";
      }
      // The agent names a source disk after the device number in the image's
      // partition-table data and sizes it from that table: without either it
      // could not read the table, and would write an unknown one.
      if (source->name == "Disk " || source->size <= 0) {
        return "The agent could not read the partition-table data of " + quoted(image) +
               ", so it cannot be restored.";
      }
      if (first == nullptr) {
        first = source;
        firstImage = image;
      } else if (source != first) {
        return quoted(firstImage) + " and " + quoted(image) + " come from different source disks (" +
               first->name + " and " + source->name + "); one target disk can take the images of " +
               "one source disk only, because each image brings its own disk's partition table.";
      }
    }
    // The agent lists a disk in use so that the user sees it, and refuses
    // to write onto it.
    if (!disk->inUse.empty()) {
      return target.device + " cannot be written now: " + disk->inUse + ".";
    }
    if (disk->size < 0) {
      return "The agent did not give the size of " + target.device + ".";
    }
    if (first != nullptr && first->size > disk->size) {
      return first->name + " (" + formatBytes(first->size) + ") does not fit on " + target.device +
             " (" + formatBytes(disk->size) + ").";
    }
  }
  return std::nullopt;
}

std::string describePlan(const std::vector<RestoreTarget>& targets, const DiskReport& report,
                         const std::map<std::string, bool>& withEsp) {
  std::vector<RestoreTarget> ordered = targets;
  std::sort(ordered.begin(), ordered.end(),
            [](const RestoreTarget& a, const RestoreTarget& b) { return a.device < b.device; });
  std::string text;
  for (const auto& target : ordered) {
    const TargetDisk* disk = targetNamed(report, target.device);
    text += target.device;
    if (disk != nullptr) {
      text += " (" + formatBytes(disk->size) + (disk->model.empty() ? "" : ", " + disk->model) + ")";
    }
    text += "\n";
    for (const auto& image : target.images) {
      text += "  <- " + image;
      const SourceDisk* source = sourceOf(report, image);
      if (source != nullptr) {
        text += "  from " + source->name + " (" + formatBytes(source->size) + ")";
      }
      const auto esp = withEsp.find(image);
      if (esp != withEsp.end() && esp->second) {
        text += ", with its EFI system partition";
      }
      text += "\n";
    }
  }
  return text;
}

}  // namespace restorectl
