#pragma once
// The decisions of the disk report, apart from the tools that gather its
// inputs: the source disk list, whether the targets suffice, and the largest
// partition end read from fdisk's listing.
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "external_restore/device_info.h"

// "SourceDisk": one {"Name", "Size", "Drives"} object per source disk in map
// order; null when the map is empty.
Json::Value sourceDiskArray(const SourceDiskMap& sources);

// Takes the report value holding "TargetDrives" (the disk inventory) and
// "SourceDisk" and returns the message to send: the "1" report when there are
// fewer targets than source disks; the "2" report for the first source disk
// that fits no target (a source of size 0, whose size could not be measured,
// fits none), or else for the source left over when the sources cannot each
// have a target of their own; otherwise `report` itself with "error" "0" and
// "op" "-i" added.
Json::Value diskFitReport(Json::Value& report);

// The largest End sector among fdisk's partition rows (boot flag column
// allowed); rows without a numeric third column are passed over.
uint64_t largestEndSector(const std::vector<std::string>& partition_rows);
