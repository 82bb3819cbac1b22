#include "server_restore/partition_table_write.h"

#include "blockdev/table_write.h"
#include "protocol/restore_target.h"
#include "support/log_line.h"

namespace server_restore {

namespace {

bool fail(std::string& errtext, const std::string& text, const std::string& why) {
  errtext = text;
  logLine(text + ": " + why);
  return false;
}

std::string refusalText(TargetRefusal refusal) {
  switch (refusal) {
    case TargetRefusal::target:
      return "cannot_open_disk";
    case TargetRefusal::blockSizeDiffers:
      return "gpt_logical_blocksize_change";
    case TargetRefusal::doesNotFit:
      return "device_too_small";
    case TargetRefusal::noPartition:
      return "no_restore_partition";
    case TargetRefusal::noTable:
      break;
  }
  return "error_while_reading_mbr";
}

}  // namespace

bool writePartitionTable(const SMBRData& record, const std::string& disk, const std::vector<std::string>& inventory,
                         std::string& partition, std::string& errtext, std::string* refusedBecause) {
  std::string why;
  RestoreTarget target;
  TargetRefusal refusal = TargetRefusal::target;
  if (!admitRestoreTarget(record, disk, inventory, target, refusal, why)) {
    if (refusedBecause != nullptr) {
      *refusedBecause = why;
    }
    return fail(errtext, refusalText(refusal), why);
  }
  blockdev::BlockDevice& device = target.device;
  const blockdev::TableWriteOutcome written = blockdev::writePartitionTable(device, target.regions, record.is_gpt, why);
  switch (written.step) {
    case blockdev::TableWriteStep::region:
      return fail(errtext, written.failedRegion->offset == 0 ? "error_writing_mbr" : "error_writing_gpt", why);
    case blockdev::TableWriteStep::flush:
      return fail(errtext, record.is_gpt ? "error_writing_gpt" : "error_writing_mbr", why);
    case blockdev::TableWriteStep::gptBackup:
      return fail(errtext, "error_writing_gpt", why);
    case blockdev::TableWriteStep::reread:
      return fail(errtext, "no_restore_partition", why);
    case blockdev::TableWriteStep::done:
      break;
  }
  if (!device.findPartition(record.partition_number, target.partition, partition, why)) {
    return fail(errtext, "no_restore_partition", why);
  }
  return true;
}

}  // namespace server_restore
