#include "external_restore/disk_report.h"

#include "control/queues.h"
#include "disks/target_disks.h"
#include "external_restore/disk_fit.h"
#include "support/command.h"
#include "support/shell_quote.h"

Json::Value GetDiskInfoJson(const std::vector<std::string>& paths) {
  Json::Value report;
  report["TargetDrives"] = reportTargetDisks();

  SourceDiskMap sources;
  for (const std::string& path : paths) {
    const std::string number = GetMBRInfo(path, "device_number");
    const auto known = sources.find(number);
    if (known != sources.end()) {
      known->second.drives.push_back(path);
      continue;
    }
    device_info disk;
    disk.size = static_cast<int64_t>(GetSizeOfSourceDisk(path, true) * 512);
    disk.drives.push_back(path);
    sources.emplace(number, disk);
  }
  report["SourceDisk"] = sourceDiskArray(sources);

  const Json::Value reply = diskFitReport(report);
  resp_queue.push(reply.toStyledString());
  return report;
}

std::string GetMBRInfo(const std::string& image, const std::string& key) {
  std::string command = "./keelbackrestoreclient --mbr-info " + shellQuote(image + ".mbr");
  if (!key.empty()) {
    command += " | grep \"" + key + "\" | sed 's/" + key + "=//'";
  }
  std::string output;
  const std::vector<std::string> lines = runCommand(command, output);
  return lines.empty() ? std::string() : lines.front();
}

uint64_t GetSizeOfSourceDisk(const std::string& file, bool addMbrSuffix) {
  const std::string table = addMbrSuffix ? file + ".mbr" : file;
  std::string output;

  runSystem("truncate -s +2048G temp");
  const std::vector<std::string> attached = runCommand("sudo losetup -P -f --show temp", output);
  if (attached.empty()) {
    runSystem("rm -f temp");
    return 0;
  }
  const std::string loop = attached.front();

  runCommand("sudo ./keelbackrestoreclient --restore-mbr " + shellQuote(table) + " -o  " + shellQuote(loop), output);
  const std::vector<std::string> rows =
      runCommand("sudo fdisk -l " + shellQuote(loop) + " | grep -v Disk | grep " + shellQuote(loop), output);
  const uint64_t end = largestEndSector(rows);

  runSystem("sudo losetup -d " + shellQuote(loop));
  runSystem("rm -f temp");
  return end;
}
