#pragma once
// Source disks of the chosen images against the local target disks.
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

// Sends the "-i" report for the image paths onto resp_queue and returns the
// value holding "TargetDrives" and "SourceDisk".
Json::Value GetDiskInfoJson(const std::vector<std::string>& paths);

// One value of the image's partition-table data (<image>.mbr) through the
// restore tool; `key` empty gives the tool's first output line.
std::string GetMBRInfo(const std::string& image, const std::string& key);

// Largest partition end sector of the partition table in `file` (file + ".mbr"
// when addMbrSuffix), measured on a scratch loop device; 0 when none could be
// attached.
uint64_t GetSizeOfSourceDisk(const std::string& file, bool addMbrSuffix);
