#pragma once
// The partition table an image was taken from, learned through the restore
// tool: the tool alone knows its partition-table files, so it writes one onto
// a scratch disk and the agent reads what the tool put there.
#include <chrono>
#include <cstdint>
#include <string>

#include "blockdev/partition_table.h"
#include "blockdev/table_probe.h"
#include "external_restore/disk_report.h"
#include "protocol/restore_target.h"

// Has the tool write `tableFile` onto a sparse scratch loop device with
// `blockSize`-byte logical blocks (the target's, so that a table made for
// other blocks shows as none) and reads the table from it. False with `why`
// set when no loop device could be had, the tool did not end within
// `deadline` or was stopped by cancelrestore, or the scratch holds no table
// after. Uses the scratch file "temp" in the working directory.
bool learnSourceTable(const std::string& tableFile, unsigned blockSize, blockdev::ProbedTable& table,
                      std::string& why, std::chrono::milliseconds deadline = kScratchTableDeadline);

// Whether the learned `table` can go onto a disk of `diskSize` bytes with
// `blockSize`-byte logical blocks with its partition `number` in place: the
// table counts in those blocks (512 for an MBR), it has that partition, and
// every partition lies inside the disk (for a GPT, before the last usable
// block that a standard table on the disk has). True with `extent` set to
// where the partition must then lie; false with the refusal and `why`.
bool learnedTableFits(const blockdev::ProbedTable& table, int number, uint64_t diskSize, unsigned blockSize,
                      blockdev::PartitionExtent& extent, TargetRefusal& refusal, std::string& why);
