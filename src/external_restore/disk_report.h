#pragma once
// Source disks of the chosen images against the local target disks.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

// Sends the "-i" report for the image paths onto resp_queue and returns the
// value holding "TargetDrives" and "SourceDisk".
Json::Value GetDiskInfoJson(const std::vector<std::string>& paths);

// One value of the image's partition-table data (<image>.mbr) through the
// restore tool; `key` empty gives the tool's first output line.
std::string GetMBRInfo(const std::string& image, const std::string& key);

// How long the restore tool may take to write one partition-table file onto a
// scratch loop device. It writes a few blocks there and has the kernel read
// them; one that takes minutes has hung (on a drive that stopped answering,
// on a prompt), and the session and the disk-work lock would wait with it.
inline constexpr std::chrono::seconds kScratchTableDeadline{120};

// The restore tool's command line that writes `table` onto `loop`.
std::string scratchTableCommand(const std::string& table, const std::string& loop);

// Runs the restore tool's "--restore-mbr" of `table` onto the scratch loop
// device `loop`, handing back the lines it printed. It is ended when it runs
// past `deadline` or `stopRequested` says stop; false then, with `why`.
bool restoreMbrOntoScratch(const std::string& table, const std::string& loop, std::chrono::milliseconds deadline,
                           const std::function<bool()>& stopRequested, std::vector<std::string>& lines,
                           std::string& why);

// Largest partition end sector of the partition table in `file` (file + ".mbr"
// when addMbrSuffix), measured on a scratch loop device; 0 when none could be
// attached, or when the tool did not write the table within `deadline` or
// the session was replaced meanwhile.
uint64_t GetSizeOfSourceDisk(const std::string& file, bool addMbrSuffix,
                             std::chrono::milliseconds deadline = kScratchTableDeadline);
