#pragma once
// Partition-table files: a ".mbr" file beside each image, or "mbr.dat" as the
// agent downloads it from the backup service. Both hold one partition-table
// record (SMBRData).
#include <optional>
#include <ostream>
#include <string>

#include "protocol/mbr_record.h"
#include "protocol/record_file.h"

// The record as key=value lines, one per field. Values are kept on one line
// (control characters become blanks) so that a filter on the key always gets
// the whole value.
std::string mbrInfoText(const SMBRData& record);

// The --mbr-info command. Failures go to `diagnostics` only: the agent reads
// values from `out` and must never take a message for one.
int mbrInfoCommand(const std::string& path, std::ostream& out, std::ostream& diagnostics);
