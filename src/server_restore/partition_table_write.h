#pragma once
// Writing an image's partition table (MBR, or protective MBR plus both GPT
// copies) onto a whole disk.
#include <string>

#include "protocol/mbr_record.h"

namespace server_restore {

// Writes the record onto `disk`. Everything that can refuse the disk (not a
// block device, cannot be opened, a logical block size that differs from the
// source's) is checked before the first byte is written. False with errtext
// set when the table could not be written; a failure on the backup GPT copy
// only sets errtext.
bool writePartitionTable(const SMBRData& record, const std::string& disk, std::string& errtext);

// The logical block size that sysfs gives for the disk named by the last
// component of `disk`; 0 when it cannot be read.
long long logicalBlockSize(const std::string& disk);

}  // namespace server_restore
