// The check of a partition table learned through the restore tool against a
// target disk, before anything of the disk changes.
#include "external_restore/source_table.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kMiB = 1 << 20;

blockdev::ProbedTable table(const std::string& type, unsigned blockSize,
                            std::vector<blockdev::ProbedPartition> partitions) {
  blockdev::ProbedTable made;
  made.type = type;
  made.blockSize = blockSize;
  made.partitions = std::move(partitions);
  return made;
}

struct Outcome {
  bool fits;
  TargetRefusal refusal;
  blockdev::PartitionExtent extent;
};

Outcome check(const blockdev::ProbedTable& learned, int number, uint64_t diskSize, unsigned blockSize) {
  Outcome outcome{false, TargetRefusal::target, {}};
  std::string why;
  outcome.fits = learnedTableFits(learned, number, diskSize, blockSize, outcome.extent, outcome.refusal, why);
  EXPECT_EQ(outcome.fits, why.empty()) << why;
  return outcome;
}

TEST(LearnedTable, ThePartitionGoesWhereTheTablePutsItOnADiskThatHoldsTheTable) {
  const auto gpt = table("gpt", 512, {{1, {kMiB, 16 * kMiB}}, {3, {17 * kMiB, 32 * kMiB}}});
  const Outcome outcome = check(gpt, 3, 64 * kMiB, 512);
  EXPECT_TRUE(outcome.fits);
  EXPECT_EQ(outcome.extent, (blockdev::PartitionExtent{17 * kMiB, 32 * kMiB}));
  EXPECT_EQ(check(gpt, 2, 64 * kMiB, 512).refusal, TargetRefusal::noPartition);
}

TEST(LearnedTable, EveryPartitionMustEndBeforeTheDisksUsableEnd) {
  // A GPT needs its backup entries (32 blocks) and header behind the last
  // partition; an MBR only the disk's end.
  const uint64_t disk = 64 * kMiB;
  const uint64_t gptEnd = disk - 33 * 512;
  EXPECT_TRUE(check(table("gpt", 512, {{1, {kMiB, gptEnd - kMiB}}}), 1, disk, 512).fits);
  EXPECT_EQ(check(table("gpt", 512, {{1, {kMiB, gptEnd - kMiB + 512}}}), 1, disk, 512).refusal,
            TargetRefusal::doesNotFit);
  EXPECT_TRUE(check(table("dos", 512, {{1, {kMiB, disk - kMiB}}}), 1, disk, 512).fits);
  // Another partition than the image's own overhangs: the whole table is
  // written, so the disk is refused all the same.
  EXPECT_EQ(check(table("dos", 512, {{1, {kMiB, kMiB}}, {2, {2 * kMiB, disk}}}), 1, disk, 512).refusal,
            TargetRefusal::doesNotFit);
}

TEST(LearnedTable, ATableInOtherBlocksThanTheTargetsIsRefused) {
  // MBR tables count 512-byte sectors; on 4096-byte blocks every start and
  // size would grow eightfold.
  EXPECT_EQ(check(table("dos", 4096, {{1, {kMiB, kMiB}}}), 1, 64 * kMiB, 4096).refusal,
            TargetRefusal::blockSizeDiffers);
  EXPECT_EQ(check(table("gpt", 512, {{1, {kMiB, kMiB}}}), 1, 64 * kMiB, 4096).refusal,
            TargetRefusal::blockSizeDiffers);
  EXPECT_TRUE(check(table("gpt", 4096, {{1, {kMiB, kMiB}}}), 1, 64 * kMiB, 4096).fits);
}

}  // namespace
