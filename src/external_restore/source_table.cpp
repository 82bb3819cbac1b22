#include "external_restore/source_table.h"

#include <vector>

#include "control/shared_state.h"
#include "support/command.h"
#include "support/log_line.h"
#include "support/shell_quote.h"

namespace {

// The scratch stands in for a source disk of any size the disk report
// measures; sparse, it costs nothing but the table the tool writes.
constexpr const char* kScratchSize = "2048G";
constexpr unsigned kMbrSectorSize = 512;
// A standard GPT keeps 128 entries of 128 bytes behind its backup header.
constexpr uint64_t kGptEntryArrayBytes = 128 * 128;

bool refuse(TargetRefusal why, TargetRefusal& refusal) {
  refusal = why;
  return false;
}

// The byte where partitions must end on the disk: its end for an MBR; for a
// GPT the end of the last usable block, before the backup entries and header.
uint64_t usableEnd(const blockdev::ProbedTable& table, uint64_t diskSize, unsigned blockSize) {
  if (table.type != "gpt") {
    return diskSize;
  }
  const uint64_t blocks = diskSize / blockSize;
  const uint64_t reserved = 1 + (kGptEntryArrayBytes + blockSize - 1) / blockSize;
  return blocks > reserved ? (blocks - reserved) * blockSize : 0;
}

}  // namespace

bool learnSourceTable(const std::string& tableFile, unsigned blockSize, blockdev::ProbedTable& table,
                      std::string& why, std::chrono::milliseconds deadline) {
  // A scratch left by an earlier run could still hold that run's table and
  // pass for the one this tool writes.
  runSystem("rm -f temp");
  runSystem(std::string("truncate -s ") + kScratchSize + " temp");
  std::string output;
  const std::vector<std::string> attached =
      runCommand("sudo losetup -P -f --show -b " + std::to_string(blockSize) + " temp", output);
  if (attached.empty()) {
    runSystem("rm -f temp");
    why = "no scratch loop device to learn the partition table of " + tableFile + " on";
    return false;
  }
  const std::string loop = attached.front();
  logLine("restore_mbr_cmd " + scratchTableCommand(tableFile, loop));
  std::vector<std::string> lines;
  // The user's cancel stops a tool that hangs here as it stops an image.
  const bool written =
      restoreMbrOntoScratch(tableFile, loop, deadline, [] { return cancelrestore.load(); }, lines, why);
  for (const std::string& line : lines) {
    logLine(line);
  }
  std::string probeError;
  const bool learned = written && blockdev::probePartitionTable(loop, table, probeError);
  runSystem("sudo losetup -d " + shellQuote(loop));
  runSystem("rm -f temp");
  if (written && !learned) {
    why = "the restore tool put no partition table from " + tableFile + " onto a scratch disk with " +
          std::to_string(blockSize) + "-byte blocks (" + probeError + ")";
  }
  return learned;
}

bool learnedTableFits(const blockdev::ProbedTable& table, int number, uint64_t diskSize, unsigned blockSize,
                      blockdev::PartitionExtent& extent, TargetRefusal& refusal, std::string& why) {
  if (table.blockSize != blockSize || (table.type != "gpt" && blockSize != kMbrSectorSize)) {
    why = "the partition table (" + table.type + ", " + std::to_string(table.blockSize) +
          "-byte blocks) does not count in the target's " + std::to_string(blockSize) + "-byte logical blocks";
    return refuse(TargetRefusal::blockSizeDiffers, refusal);
  }
  const blockdev::ProbedPartition* own = table.partition(number);
  if (own == nullptr) {
    why = "the partition table has no partition " + std::to_string(number);
    return refuse(TargetRefusal::noPartition, refusal);
  }
  // Every partition, not only the image's own: the tool writes the whole
  // table, and one that overhangs the disk is refused by the kernel or lost.
  const uint64_t end = usableEnd(table, diskSize, blockSize);
  for (const blockdev::ProbedPartition& partition : table.partitions) {
    if (partition.extent.start > end || partition.extent.size > end - partition.extent.start) {
      why = "the target is smaller than the partition table: partition " + std::to_string(partition.number) +
            " ends at byte " + std::to_string(partition.extent.start + partition.extent.size) +
            ", the target's usable space at byte " + std::to_string(end);
      return refuse(TargetRefusal::doesNotFit, refusal);
    }
  }
  extent = own->extent;
  return true;
}
