#pragma once
// Writing a recorded partition table back onto a whole disk.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/mbr_record.h"

// One piece of the table and where it goes.
struct TableRegion {
  std::string name;
  int64_t offset = 0;
  const std::string* bytes = nullptr;
};

// The regions of `record` in writing order: the MBR at offset 0 and, for a
// GPT record, the primary header, the primary entries and the two backup
// regions. Checks, before anything is written, that the MBR carries its boot
// signature, that each region is present and lies inside a disk of
// `device_size` bytes, and that a GPT record's
// header sits in the second logical block of a disk with
// `logical_block_size`-byte blocks (otherwise its LBA fields would point to
// the wrong places). False with `error` set when any check fails.
bool planTableRegions(const SMBRData& record, uint64_t device_size, unsigned logical_block_size,
                      std::vector<TableRegion>& regions, std::string& error);

// The --restore-mbr command: writes, flushes and has the kernel re-read the
// table. A kernel built without partition-table parsers (as on the project's
// VMs) re-reads without finding anything; partprobe then tells it the
// partitions one by one, as parted's own parser sees them. Every failure
// prints one line holding "error" on `out`.
int restoreMbrCommand(const std::string& record_path, const std::string& device, std::ostream& out);
