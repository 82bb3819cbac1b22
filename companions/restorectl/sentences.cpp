#include "sentences.h"

#include <array>
#include <cstdio>

namespace restorectl {
namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// The agent writes some words with a trailing back-quote ("no_server_found`");
// the word is the same with or without it.
std::string withoutBackQuote(std::string word) {
  if (!word.empty() && word.back() == '`') {
    word.pop_back();
  }
  return word;
}

std::string plural(std::uint64_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::vector<std::string> drivesWithStatus(const ProgressTable& table, const std::string& status) {
  std::vector<std::string> names;
  for (const auto& [key, value] : table) {
    if (value == status) {
      names.push_back(driveName(key));
    }
  }
  return names;
}

}  // namespace

std::string formatBytes(std::int64_t bytes) {
  if (bytes < 0) {
    return "unknown size";
  }
  if (bytes < 1024) {
    return std::to_string(bytes) + " bytes";
  }
  constexpr std::array<const char*, 6> units{"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < units.size()) {
    value /= 1024.0;
    ++unit;
  }
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.1f %s", value, units[unit]);
  return text.data();
}

std::string driveName(const std::string& progressKey) {
  if (progressKey == "SYSVOL") {
    return "the system-reserved volume";
  }
  if (progressKey == "ESPVOL") {
    return "the EFI system partition";
  }
  if (progressKey.size() == 1) {
    return "drive " + progressKey;
  }
  return progressKey.empty() ? "an unnamed drive" : progressKey;
}

std::string loginFailureSentence(const std::string& msg) {
  if (msg == "server_not_found") {
    return "The agent could not log in to the backup service and list its backup clients; "
           "it gave up after repeated attempts. Check that the backup service is running on "
           "the agent's machine.";
  }
  if (msg == "login_failed") {
    return "The backup service did not accept the password.";
  }
  if (msg == "user_not_found") {
    return "The backup service offers no login for the user \"admin\"; it may not be running, "
           "or it has no such user.";
  }
  return "The login to the backup service failed: the agent answered " + quoted(msg) + ".";
}

std::string listingErrorSentence(const ListingError& error, const std::string& client) {
  const std::string word = withoutBackQuote(error.msg);
  if (word == "no_images_for_client") {
    return "The backup server has no images for the client " + quoted(client) + ".";
  }
  if (word == "internal_error") {
    return "The backup service failed while listing the images of " + quoted(client) +
           " (internal error).";
  }
  if (word == "no_server_found") {
    return "The agent could not reach the backup service to list the images of " +
           quoted(client) + ".";
  }
  if (word == "no_clients_found") {
    return "The backup server has no backup clients.";
  }
  std::string sentence = "The agent reported an error while listing the images of " +
                         quoted(client) + ": " + quoted(error.msg);
  if (!error.errorCode.empty()) {
    sentence += " (code " + error.errorCode + ")";
  }
  return sentence + ".";
}

std::string diskReportSentence(const DiskReport& report) {
  if (report.error == "1") {
    const std::string targets =
        report.targetCount == 0 ? "no target disk"
                                : "only " + plural(report.targetCount, "target disk", "target disks");
    return "The chosen images come from " +
           plural(report.sourceCount, "source disk", "source disks") +
           ", but the agent's machine has " + targets + ".";
  }
  if (report.error == "2") {
    std::string sentence = "A source disk of " + formatBytes(report.sourceSize) +
                           " does not fit on any target disk";
    if (!report.targetSizes.empty()) {
      std::vector<std::string> sizes;
      for (const auto size : report.targetSizes) {
        sizes.push_back(formatBytes(size));
      }
      sentence += " (the target disks hold " + joinNames(sizes) + ")";
    }
    return sentence + ".";
  }
  return "The agent sent a disk report that restorectl does not understand (error " +
         quoted(report.error) + ").";
}

std::string connectionLostSentence(const std::string& reason, bool duringRestore) {
  std::string sentence = "The connection to the agent was lost";
  if (!reason.empty()) {
    sentence += " (" + reason + ")";
  }
  sentence += ".";
  if (duringRestore) {
    sentence += " The restore may still be running on the agent's machine; its outcome is unknown.";
  }
  return sentence;
}

std::string timeoutSentence(const std::string& waitingFor, std::chrono::milliseconds waited) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(waited).count();
  return "The agent did not answer within " + plural(static_cast<std::uint64_t>(seconds), "second", "seconds") +
         " while restorectl waited for " + waitingFor + ".";
}

std::vector<std::string> unfinishedDrives(const ProgressTable& table) {
  std::vector<std::string> names;
  for (const auto& [key, value] : table) {
    if (value != "SUCCESS" && value != "ERROR") {
      names.push_back(driveName(key));
    }
  }
  return names;
}

std::string restoreOutcomeSentence(const ProgressTable& table, bool serverSession) {
  const auto restored = drivesWithStatus(table, "SUCCESS");
  const auto failed = drivesWithStatus(table, "ERROR");
  const auto unfinished = unfinishedDrives(table);
  if (table.empty()) {
    return "The agent reported no drives for this restore.";
  }
  if (failed.empty() && unfinished.empty()) {
    return restored.size() == 1 ? "Restored " + restored.front() + "."
                                : "All " + std::to_string(restored.size()) +
                                      " drives were restored: " + joinNames(restored) + ".";
  }
  std::string sentence;
  if (!failed.empty()) {
    sentence = "Restoring " + joinNames(failed) + " failed";
    sentence += serverSession ? "; the agent stopped the restore there." : ".";
  }
  if (!unfinished.empty()) {
    sentence += (sentence.empty() ? "" : " ") + std::string("Not restored: ") +
                joinNames(unfinished) + ".";
  }
  if (!restored.empty()) {
    sentence += " Restored: " + joinNames(restored) + ".";
  }
  return sentence;
}

std::string joinNames(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      text += i + 1 == names.size() ? " and " : ", ";
    }
    text += names[i];
  }
  return text;
}

}  // namespace restorectl
