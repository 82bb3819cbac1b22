#pragma once
// A GPT written from a record of another disk describes that disk's end:
// its backup header and entries lay where that disk ended, and the primary
// header's AlternateLBA and LastUsableLBA point there. These make such a
// table one of the target disk, larger or smaller than the source.
#include <cstdint>
#include <string>

#include "blockdev/block_device.h"

namespace blockdev {

// True when the GPT of `header` and `entries` (as a record holds them) can be
// made a table of a disk of `diskSize` bytes with `blockSize`-byte blocks:
// every partition ends at or before the last usable block that a standard
// table on that disk has. False with the reason in `error` otherwise.
bool gptFitsDisk(const std::string& header, const std::string& entries, uint64_t diskSize, unsigned blockSize,
                 std::string& error);

// Makes the GPT just written onto `device` (primary header and entries) a
// table of this disk: the primary header's AlternateLBA and LastUsableLBA
// are set to the disk's end, then util-linux writes the backup entries and
// header there (and fits the protective MBR to the disk), on the node the
// descriptor holds. False with the reason in `error`; the caller must not
// trust the table then.
bool relocateGptBackup(BlockDevice& device, std::string& error);

}  // namespace blockdev
