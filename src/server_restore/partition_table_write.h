#pragma once
// Preparing a whole disk for one partition image: the target gate, the
// image's partition table (MBR, or protective MBR plus both GPT copies), the
// kernel's re-read of it, and the partition it gives.
#include <string>
#include <vector>

#include "protocol/mbr_record.h"

namespace server_restore {

// Admits `disk` through the target gate against `inventory` (the device
// paths the disk inventory lists now), checks that the record's table and
// its partition fit the disk, and only then writes the table, flushes it,
// has the kernel re-read it on the same descriptor and finds the record's
// partition by its number where the table puts it. True with `partition`
// set to its device path; false with errtext set ("cannot_open_disk",
// "gpt_logical_blocksize_change", "device_too_small", "error_writing_mbr",
// "error_writing_gpt", "no_restore_partition") and the reason logged. Every
// refusal before the writing leaves the disk unchanged; its reason then goes
// to `refusedBecause` too, when given.
bool writePartitionTable(const SMBRData& record, const std::string& disk, const std::vector<std::string>& inventory,
                         std::string& partition, std::string& errtext, std::string* refusedBecause = nullptr);

}  // namespace server_restore
