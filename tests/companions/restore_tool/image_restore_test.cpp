// Writing an image onto a rig partition: the start of the volume comes last,
// a restore cut short leaves no file system to be found, and every write is
// read back before success is reported.
#include "image_restore.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <utility>

#include "blockdev/block_device.h"
#include "blockdev/write_ledger.h"
#include "common/temp_dir.h"
#include "rig/vfat_target.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;

// An image held in memory that can be told to stop delivering at a point,
// as a drive that is pulled or a tool that is killed would.
class MemoryImage : public ImageSource {
public:
  explicit MemoryImage(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  bool readAt(uint64_t offset, char* buffer, size_t length, std::string& error) override {
    if (offset + length > failFrom_) {
      error = "the source went away";
      return false;
    }
    bytes_.copy(buffer, length, offset);
    return true;
  }
  void failFrom(uint64_t offset) { failFrom_ = offset; }

private:
  std::string bytes_;
  uint64_t failFrom_ = UINT64_MAX;
};

class ImageRestoreOnRig : public ::testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT_RIG();
    target_ = std::make_unique<VfatTarget>();
    partition_ = target_->partition();
    ASSERT_EQ(fileSystemOn(partition_), "vfat");
    image_ = std::make_unique<MemoryImage>(ext4VolumeBytes(dir_.path()));
    ASSERT_EQ(image_->size(), static_cast<uint64_t>(8 * kMiB));
  }
  void TearDown() override { blockdev::setAfterWriteHookForTests(nullptr); }

  bool restore(std::string& error) {
    blockdev::BlockDevice target;
    if (!target.open(partition_, blockdev::DeviceKind::Partition, error)) {
      return false;
    }
    ProgressPrinter progress(out_, image_->size(), std::chrono::steady_clock::now, std::chrono::milliseconds(0));
    return writeImage(*image_, std::move(target), progress, error);
  }

  TempDir dir_;
  std::unique_ptr<VfatTarget> target_;
  std::string partition_;
  std::unique_ptr<MemoryImage> image_;
  std::ostringstream out_;
};

TEST_F(ImageRestoreOnRig, CutShortItLeavesNoFileSystemOldOrNew) {
  image_->failFrom(5 * kMiB);
  std::string error;
  EXPECT_FALSE(restore(error));
  EXPECT_EQ(fileSystemOn(partition_), "") << "neither the old vfat nor the new ext4";
  EXPECT_EQ(out_.str().find("100"), std::string::npos) << out_.str();

  image_->failFrom(UINT64_MAX);
  EXPECT_TRUE(restore(error)) << error;
  EXPECT_EQ(fileSystemOn(partition_), "ext4");
  EXPECT_NE(out_.str().find("100"), std::string::npos) << out_.str();
}

TEST_F(ImageRestoreOnRig, ProgressCountsOnlyWrittenBytesAndReaches100AfterTheLastWrite) {
  std::string lastBefore;
  blockdev::setAfterWriteHookForTests([&](int, int64_t, size_t) { lastBefore = out_.str(); });
  std::string error;
  ASSERT_TRUE(restore(error)) << error;
  EXPECT_EQ(lastBefore.find("100"), std::string::npos) << "100 % before the last write was even made";
  EXPECT_NE(out_.str().find("100"), std::string::npos);
}

TEST_F(ImageRestoreOnRig, ADamagedWriteIsCaughtBeforeSuccess) {
  for (const int64_t damaged : {6 * kMiB, int64_t{1024}}) {
    SCOPED_TRACE(damaged);
    blockdev::setAfterWriteHookForTests([damaged](int descriptor, int64_t start, size_t length) {
      if (start <= damaged && damaged < start + static_cast<int64_t>(length)) {
        ASSERT_EQ(::pwrite(descriptor, "X", 1, damaged), 1);
      }
    });
    std::string error;
    EXPECT_FALSE(restore(error));
    EXPECT_NE(error.find("differ"), std::string::npos) << error;
  }
}

}  // namespace
