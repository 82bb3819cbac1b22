#include "external_restore/disk_report.h"

#include "control/queues.h"
#include "control/session_generation.h"
#include "disks/target_disks.h"
#include "external_restore/disk_fit.h"
#include "support/command.h"
#include "support/log_line.h"
#include "support/process_runner.h"
#include "support/shell_quote.h"
#include "support/text.h"

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

std::string scratchTableCommand(const std::string& table, const std::string& loop) {
  return "sudo ./keelbackrestoreclient --restore-mbr " + shellQuote(table) + " -o  " + shellQuote(loop);
}

bool restoreMbrOntoScratch(const std::string& table, const std::string& loop, std::chrono::milliseconds deadline,
                           const std::function<bool()>& stopRequested, std::vector<std::string>& lines,
                           std::string& why) {
  const ChildRun run =
      runChild(shellCommand(scratchTableCommand(table, loop)), ChildStdout::pipe, ChildLimits{stopRequested, deadline});
  lines = split(run.output, '\n');
  if (run.exit.how == ChildExit::How::timedOut) {
    why = "the restore tool did not write the partition table of " + table + " onto a scratch disk within " +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(deadline).count()) +
          " s and was stopped";
    return false;
  }
  if (run.exit.how == ChildExit::How::stopped) {
    why = "the restore tool's writing of the partition table of " + table + " onto a scratch disk was stopped";
    return false;
  }
  return true;
}

uint64_t GetSizeOfSourceDisk(const std::string& file, bool addMbrSuffix, std::chrono::milliseconds deadline) {
  const std::string table = addMbrSuffix ? file + ".mbr" : file;
  std::string output;

  runSystem("truncate -s +2048G temp");
  const std::vector<std::string> attached = runCommand("sudo losetup -P -f --show temp", output);
  if (attached.empty()) {
    runSystem("rm -f temp");
    return 0;
  }
  const std::string loop = attached.front();

  std::vector<std::string> toolLines;
  std::string why;
  // A session replaced meanwhile needs no report, and the session after it
  // waits for the disk-work lock.
  const bool written = restoreMbrOntoScratch(table, loop, deadline, sessionSuperseded, toolLines, why);
  uint64_t end = 0;
  if (written) {
    const std::vector<std::string> rows =
        runCommand("sudo fdisk -l " + shellQuote(loop) + " | grep -v Disk | grep " + shellQuote(loop), output);
    end = largestEndSector(rows);
  } else {
    // Size 0 fits no target: the report refuses a source it could not measure.
    logLine("Error: the size of the source disk of " + table + " is unknown: " + why);
  }

  runSystem("sudo losetup -d " + shellQuote(loop));
  runSystem("rm -f temp");
  return end;
}
