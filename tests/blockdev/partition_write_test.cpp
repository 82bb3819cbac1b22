// A partition image written through PartitionWrite onto a rig partition: the
// writes are read back from the device itself, a write cut off after the
// body leaves nothing mountable, and a failing write says why.
#include "blockdev/partition_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "blockdev/target_writer.h"
#include "common/temp_dir.h"
#include "rig/vfat_target.h"
#include "support/io.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;

// Overwrites 4 KiB of the device past every page cache.
void damage(const std::string& device, int64_t at) {
  AlignedBuffer block(4096);
  ASSERT_TRUE(block);
  std::fill_n(block.data(), 4096, '\x5A');
  const UniqueFd fd(::open(device.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC));
  ASSERT_GE(fd.get(), 0);
  EXPECT_TRUE(pwriteFull(fd.get(), block.data(), 4096, at));
}

class PartitionWriteOnRig : public ::testing::Test {
protected:
  // Where the rig's partition 1 starts on its disk (sfdisk's default).
  static constexpr int64_t partitionStart = 2048 * 512;

  void SetUp() override {
    SKIP_WITHOUT_RIG();
    target_ = std::make_unique<VfatTarget>();
    partition_ = target_->partition();
    ASSERT_EQ(fileSystemOn(partition_), "vfat");
    image_ = ext4VolumeBytes(dir_.path());
    ASSERT_EQ(image_.size(), static_cast<size_t>(8 * kMiB));
  }
  void TearDown() override { blockdev::setAfterWriteHookForTests(nullptr); }

  std::unique_ptr<blockdev::PartitionWrite> open() {
    blockdev::BlockDevice device;
    std::string error;
    EXPECT_TRUE(device.open(partition_, blockdev::DeviceKind::Partition, error)) << error;
    return std::make_unique<blockdev::PartitionWrite>(std::move(device));
  }

  // Begins a write and hands it the whole image through the writer that the
  // server route uses, in pieces of a download's size; false with `error`
  // set when a step failed.
  bool writeBody(blockdev::PartitionWrite& write, std::string& error) {
    if (!write.begin(image_.size(), blockdev::PartitionWrite::From::start, error)) {
      return false;
    }
    CoalescingFileWriter writer(write.descriptor(), write.path(), CoalescingFileWriter::defaultCapacity, true,
                                &write.ledger());
    blockdev::HoldingBackSink body = write.body(writer);
    for (size_t at = 0; at < image_.size(); at += 256 * 1024) {
      EXPECT_TRUE(body.writeAt(static_cast<int64_t>(at), image_.data() + at, 256 * 1024));
    }
    if (!writer.finish()) {
      error = writer.error();
      return false;
    }
    return true;
  }

  TempDir dir_;
  std::unique_ptr<VfatTarget> target_;
  std::string partition_;
  std::string image_;
};

TEST_F(PartitionWriteOnRig, CutAfterTheBodyLeavesNothingMountableAndCommitCompletesIt) {
  {
    const auto write = open();
    std::string error;
    ASSERT_TRUE(writeBody(*write, error)) << error;
    std::string flushed;
    ASSERT_TRUE(write->flush(flushed)) << flushed;
    // Gone before commit(), as a cancel or a crash would leave it.
  }
  EXPECT_EQ(fileSystemOn(partition_), "") << "neither the old vfat nor the new ext4";

  const auto write = open();
  std::string error;
  ASSERT_TRUE(writeBody(*write, error)) << error;
  ASSERT_TRUE(write->commit(error)) << error;
  EXPECT_EQ(write->readBackBytes(), static_cast<int64_t>(image_.size()));
  EXPECT_EQ(fileSystemOn(partition_), "ext4");
}

// Damage in the body goes past the partition's page cache through the
// disk's node, after a write past the cache; the held-back start is written
// through the cache and flushed, so its damage is a stray write through the
// partition's own descriptor. Either is caught before success, and a
// damaged body keeps the start back.
TEST_F(PartitionWriteOnRig, DamageBehindThePageCacheIsCaughtBeforeSuccess) {
  for (const int64_t damaged : {5 * kMiB + 8192, int64_t{0}}) {
    SCOPED_TRACE(damaged);
    const std::string disk = target_->rig().device("target");
    blockdev::setAfterWriteHookForTests([&](int descriptor, int64_t start, size_t length) {
      if (start <= damaged && damaged < start + static_cast<int64_t>(length)) {
        if (damaged == 0) {
          EXPECT_TRUE(pwriteFull(descriptor, "X", 1, 0));
        } else {
          damage(disk, partitionStart + damaged);
        }
      }
    });
    const auto write = open();
    std::string error;
    ASSERT_TRUE(writeBody(*write, error)) << error;
    EXPECT_FALSE(write->commit(error));
    EXPECT_NE(error.find("differ"), std::string::npos) << error;
    EXPECT_NE(error.find(partition_), std::string::npos) << error;
    if (damaged != 0) {
      EXPECT_EQ(fileSystemOn(partition_), "");
    }
  }
}

// A run that the device refuses (here: past its end) fails the writer on its
// first write, and the reason names the partition and the system's error.
TEST_F(PartitionWriteOnRig, AFailedWriteSaysWhereAndWhy) {
  const auto write = open();
  std::string error;
  ASSERT_TRUE(write->begin(image_.size(), blockdev::PartitionWrite::From::start, error)) << error;
  CoalescingFileWriter writer(write->descriptor(), write->path(), CoalescingFileWriter::defaultCapacity, true,
                              &write->ledger());
  blockdev::HoldingBackSink body = write->body(writer);
  const auto end = static_cast<int64_t>(write->target().size());
  EXPECT_TRUE(body.writeAt(end, image_.data(), 64 * 1024));
  EXPECT_FALSE(writer.finish());
  EXPECT_NE(writer.error().find(partition_), std::string::npos) << writer.error();
  EXPECT_NE(writer.error().find("at byte " + std::to_string(end)), std::string::npos) << writer.error();
  EXPECT_NE(writer.error().find("No space left on device"), std::string::npos) << writer.error();
}

TEST_F(PartitionWriteOnRig, AnImageLargerThanThePartitionIsRefusedBeforeAnyWrite) {
  const auto write = open();
  std::string error;
  EXPECT_FALSE(write->begin(write->target().size() + 1, blockdev::PartitionWrite::From::start, error));
  EXPECT_NE(error.find("the image needs"), std::string::npos) << error;
  EXPECT_EQ(fileSystemOn(partition_), "vfat") << "nothing wiped";
}

}  // namespace
