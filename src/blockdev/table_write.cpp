#include "blockdev/table_write.h"

#include "blockdev/gpt_relocation.h"

namespace blockdev {

TableWriteOutcome writePartitionTable(BlockDevice& disk, const std::vector<TableRegion>& regions, bool gpt,
                                      std::string& error) {
  for (const TableRegion& region : regions) {
    if (!disk.writeAll(static_cast<uint64_t>(region.offset), region.bytes->data(), region.bytes->size(), error)) {
      return {TableWriteStep::region, &region};
    }
  }
  if (!disk.sync(error)) {
    return {TableWriteStep::flush, nullptr};
  }
  if (gpt && !relocateGptBackup(disk, error)) {
    return {TableWriteStep::gptBackup, nullptr};
  }
  if (!disk.rereadPartitionTable(error)) {
    return {TableWriteStep::reread, nullptr};
  }
  return {};
}

}  // namespace blockdev
