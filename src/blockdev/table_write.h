#pragma once
// Writing a partition table onto a whole disk, for the agent and the restore
// tool alike: every region in order, one flush, a GPT made one of this disk
// (backup at its end), and the kernel's re-read of the table on the same
// descriptor.
#include <string>
#include <vector>

#include "blockdev/block_device.h"
#include "blockdev/partition_table.h"

namespace blockdev {

// The step at which a table write stopped.
enum class TableWriteStep {
  done,
  region,  // writing a region failed; see `failedRegion`
  flush,   // the flush after the regions failed
  gptBackup,  // a GPT could not be made one of this disk
  reread,  // the kernel could not take the table
};

struct TableWriteOutcome {
  TableWriteStep step = TableWriteStep::done;
  const TableRegion* failedRegion = nullptr;
};

// Writes `regions` (planned to fit `disk`) onto `disk`, flushes them, for a
// GPT (`gpt`) lays the backup header and entries at the disk's end, and has
// the kernel re-read the table. The outcome names the step that failed, with
// the reason in `error`.
TableWriteOutcome writePartitionTable(BlockDevice& disk, const std::vector<TableRegion>& regions, bool gpt,
                                      std::string& error);

}  // namespace blockdev
