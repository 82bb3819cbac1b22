// Verification reads back what reached the device, not what the page cache
// remembers: a write damaged behind the writer's back is caught even while
// the partition's own cache still holds the intended bytes.
#include "blockdev/write_ledger.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "blockdev/target_writer.h"
#include "rig/rig_fixture.h"
#include "support/file.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;

std::string pattern(size_t length, int seed) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(seed * 131 + i * 7 + i / 509);
  return bytes;
}

// Reads through the node's page cache, as a check that trusted the cache would
// (the cache lives while some descriptor of the node is open).
std::string cachedRead(const std::string& device, int64_t at, size_t length) {
  std::string bytes(length, '\0');
  const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::pread(fd, bytes.data(), length, at), static_cast<ssize_t>(length));
  ::close(fd);
  return bytes;
}

// Overwrites 4 KiB of the device past every page cache.
void damage(const std::string& device, int64_t at) {
  void* memory = nullptr;
  ASSERT_EQ(::posix_memalign(&memory, 4096, 4096), 0);
  std::unique_ptr<char, decltype(&std::free)> block(static_cast<char*>(memory), &std::free);
  std::fill_n(block.get(), 4096, '\x5A');
  const int fd = ::open(device.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::pwrite(fd, block.get(), 4096, at), 4096);
  ::close(fd);
}

class WriteLedgerOnRig : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT_RIG();
    rig_ = std::make_unique<Rig>(std::vector<RigDiskSpec>{{"target", "internal", "64M"}});
    rig_->partition("target", "label: dos\nsize=16M, type=83\n");
    partition_ = rig_->partition("target", 1);
  }
  void TearDown() override { blockdev::setAfterWriteHookForTests(nullptr); }

  // Writes 4 MiB of pattern onto partition 1 through the writer, with runs
  // that go past the cache and one that goes through it (not 4 KiB aligned).
  bool writeAndVerify(std::string& error) {
    File target;
    EXPECT_TRUE(target.Open(partition_, File::readWriteUncached));
    blockdev::WriteLedger ledger;
    {
      CoalescingFileWriter writer(target.descriptor(), target.name(), CoalescingFileWriter::defaultCapacity, true, &ledger);
      EXPECT_TRUE(writer.writeAt(0, data_.data(), 3 * kMiB));
      EXPECT_TRUE(writer.writeAt(3 * kMiB + 100, data_.data() + 3 * kMiB + 100, kMiB - 100));
      EXPECT_TRUE(writer.finish());
    }
    EXPECT_TRUE(target.Sync());
    EXPECT_EQ(ledger.bytes(), 4 * kMiB - 100);
    return ledger.verify(target.descriptor(), partition_, error);
  }

  std::unique_ptr<Rig> rig_;
  std::string partition_;
  const std::string data_ = pattern(4 * kMiB, 3);
};

TEST_F(WriteLedgerOnRig, IntactWritesVerify) {
  std::string error;
  EXPECT_TRUE(writeAndVerify(error)) << error;
}

TEST_F(WriteLedgerOnRig, DamageBehindTheCacheIsCaughtAndNamed) {
  const std::string disk = rig_->device("target");
  const int64_t partitionStart = 2048 * 512;
  const int64_t damagedAt = 2 * kMiB + 8192;
  blockdev::setAfterWriteHookForTests([&](int, int64_t start, size_t length) {
    if (start <= damagedAt && damagedAt < start + static_cast<int64_t>(length)) {
      // The partition's cache now holds the intended bytes; the disk's node
      // has a cache of its own, and the damage goes past both.
      EXPECT_EQ(cachedRead(partition_, damagedAt, 4096), data_.substr(damagedAt, 4096));
      damage(disk, partitionStart + damagedAt);
      EXPECT_EQ(cachedRead(partition_, damagedAt, 4096), data_.substr(damagedAt, 4096))
          << "a read through the cache would find nothing wrong";
    }
  });
  std::string error;
  EXPECT_FALSE(writeAndVerify(error));
  EXPECT_NE(error.find(partition_), std::string::npos) << error;
  EXPECT_NE(error.find("differ"), std::string::npos) << error;
}

// A range longer than one read is read back in pieces, ahead of the
// hashing: damage in a later piece is caught as surely as in the first, and a
// range that reaches past the end of the device cannot pass for verified.
TEST_F(WriteLedgerOnRig, LongRangesAreCheckedToTheirLastPiece) {
  const int64_t length = 10 * kMiB + 4096;
  const std::string data = pattern(static_cast<size_t>(length), 5);
  File target;
  ASSERT_TRUE(target.Open(partition_, File::readWriteUncached));
  ASSERT_TRUE(writeFully(target, 0, data.data(), data.size()));
  ASSERT_TRUE(target.Sync());
  blockdev::WriteLedger ledger;
  ledger.record(0, data.data(), data.size());
  std::string error;
  EXPECT_TRUE(ledger.verify(target.descriptor(), partition_, error)) << error;

  const int64_t partitionStart = 2048 * 512;
  damage(rig_->device("target"), partitionStart + 10 * kMiB);
  EXPECT_FALSE(ledger.verify(target.descriptor(), partition_, error));
  EXPECT_NE(error.find("differ"), std::string::npos) << error;

  blockdev::WriteLedger beyond;
  beyond.record(16 * kMiB - 4096, data.data(), 8192);
  EXPECT_FALSE(beyond.verify(target.descriptor(), partition_, error));
  EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

}  // namespace
