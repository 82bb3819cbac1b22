#pragma once
// Partition-table files: a ".mbr" file beside each image on an external
// drive, or "mbr.dat" as downloaded from the backup service. Both hold one
// partition-table record.
#include <optional>
#include <string>

#include "protocol/mbr_record.h"

// Reads and decodes the file; nothing, with `error` set, when it cannot be
// read or does not decode as a record.
std::optional<SMBRData> readPartitionRecordFile(const std::string& path, std::string& error);
