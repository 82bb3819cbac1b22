#pragma once
// Writing a recorded partition table back onto a whole disk.
#include <ostream>
#include <string>

#include "protocol/table_regions.h"

// The --restore-mbr command: writes, flushes and has the kernel re-read the
// table. A kernel built without partition-table parsers (as on the project's
// VMs) re-reads without finding anything; partprobe then tells it the
// partitions one by one, as parted's own parser sees them. Every failure
// prints one line holding "error" on `out`.
int restoreMbrCommand(const std::string& record_path, const std::string& device, std::ostream& out);
