#pragma once
// Turns the agent's short status words and codes into sentences a person at a
// rescue console understands.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "messages.h"

namespace restorectl {

// 1536 -> "1.5 KiB"; sizes under 1 KiB in bytes.
std::string formatBytes(std::int64_t bytes);

// "C" -> "drive C:", "SYSVOL" -> "the system-reserved volume", "ESPVOL" ->
// "the EFI system partition"; anything else as it is.
std::string driveName(const std::string& progressKey);

// An "auth" outcome that ends the login: "server_not_found", "login_failed",
// "user_not_found" (after waiting in vain), or any other word.
std::string loginFailureSentence(const std::string& msg);

// An {"op": "error"} answer to the image listing of `client`.
std::string listingErrorSentence(const ListingError& error, const std::string& client);

// An "-i" report whose "error" is not "0".
std::string diskReportSentence(const DiskReport& report);

std::string connectionLostSentence(const std::string& reason, bool duringRestore);
std::string timeoutSentence(const std::string& waitingFor, std::chrono::milliseconds waited);

// How a restore ended, from the last progress table. `serverSession`: the
// server session stops at the first failed drive, the external-drive session
// goes on with the next image.
std::string restoreOutcomeSentence(const ProgressTable& table, bool serverSession);

// The drives of a table that have neither succeeded nor failed, as names.
std::vector<std::string> unfinishedDrives(const ProgressTable& table);

// "a", "a and b", "a, b and c".
std::string joinNames(const std::vector<std::string>& names);

}  // namespace restorectl
