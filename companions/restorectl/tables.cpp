#include "tables.h"

#include <algorithm>
#include <charconv>

#include "sentences.h"

namespace restorectl {
namespace {

std::string sizeText(const std::string& decimalBytes) {
  std::int64_t bytes = 0;
  const char* end = decimalBytes.data() + decimalBytes.size();
  const auto [stop, error] = std::from_chars(decimalBytes.data(), end, bytes);
  if (decimalBytes.empty() || error != std::errc() || stop != end) {
    return decimalBytes.empty() ? "" : decimalBytes + " bytes";
  }
  return formatBytes(bytes);
}

}  // namespace

std::string formatColumns(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (std::size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], row[i].size());
    }
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) {
        line += std::string(widths[i] - row[i].size() + 2, ' ');
      }
    }
    text += line + "\n";
  }
  return text;
}

void printImages(std::ostream& out, const std::vector<ImageEntry>& images,
                 const std::string& pathHeading) {
  std::vector<std::vector<std::string>> rows{{"Backup date", "Drive", pathHeading}};
  for (const auto& image : images) {
    rows.push_back({image.backupDate, image.letter, image.path});
  }
  out << formatColumns(rows);
}

void printDiskReport(std::ostream& out, const DiskReport& report) {
  out << "Source disks (as they were when backed up):\n";
  if (report.sources.empty()) {
    out << "  none: the agent could not read the partition table of any chosen image\n";
  } else {
    std::vector<std::vector<std::string>> rows{{"  Disk", "Size", "Images"}};
    for (const auto& source : report.sources) {
      const std::string name = source.name == "Disk " ? "Disk (unreadable)" : source.name;
      rows.push_back({"  " + name, formatBytes(source.size), joinNames(source.images)});
    }
    out << formatColumns(rows);
  }
  out << "\nTarget disks on the agent's machine:\n";
  if (report.targets.empty()) {
    out << "  none\n";
    return;
  }
  std::vector<std::vector<std::string>> rows{{"  Device", "Size", "Model", "Partitions"}};
  for (const auto& target : report.targets) {
    std::vector<std::string> parts;
    for (const auto& part : target.partitions) {
      std::string text = part.name;
      if (!part.fsType.empty()) {
        text += " " + part.fsType;
      }
      if (!part.size.empty()) {
        text += " " + sizeText(part.size);
      }
      parts.push_back(text);
    }
    std::string partitions;
    for (const auto& part : parts) {
      partitions += (partitions.empty() ? "" : ", ") + part;
    }
    rows.push_back({"  " + target.device, formatBytes(target.size), target.model,
                    (partitions.empty() ? std::string("no partitions") : partitions) +
                        (target.inUse.empty() ? "" : " (in use: " + target.inUse + ")")});
  }
  out << formatColumns(rows);
}

void printUsbDrives(std::ostream& out, const std::vector<TargetDisk>& drives) {
  if (drives.empty()) {
    out << "No USB drives were found.\n";
    return;
  }
  std::vector<std::vector<std::string>> rows{{"  Partition", "Size", "Type", "Backup folder"}};
  for (const auto& drive : drives) {
    out << drive.device << "  " << formatBytes(drive.size)
        << (drive.model.empty() ? "" : "  " + drive.model) << "\n";
    if (drive.partitions.empty()) {
      continue;
    }
    rows.resize(1);
    for (const auto& part : drive.partitions) {
      rows.push_back({"  " + part.name, sizeText(part.size), part.fsType,
                      part.mountPoint.empty() ? "none" : part.mountPoint});
    }
    out << formatColumns(rows);
  }
}

std::vector<std::string> backupFolders(const std::vector<TargetDisk>& drives) {
  std::vector<std::string> folders;
  for (const auto& drive : drives) {
    for (const auto& part : drive.partitions) {
      if (!part.mountPoint.empty()) {
        folders.push_back(part.mountPoint);
      }
    }
  }
  return folders;
}

}  // namespace restorectl
