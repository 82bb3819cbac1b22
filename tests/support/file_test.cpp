#include "support/file.h"

#include <sys/stat.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "rig/rig_fixture.h"
#include "support/text.h"

namespace {

std::string pathIn(const TempDir& dir, const char* name) { return (dir.path() / name).string(); }

}  // namespace

TEST(FileOpen, Mode1ReplacesAnExistingFileWithAnEmptyOne) {
  TempDir dir;
  const auto path = dir.write("f", "old content");
  File file;
  ASSERT_TRUE(file.Open(path.string(), 1));
  EXPECT_EQ(file.Size(), 0);
  EXPECT_EQ(file.Write(std::string("new")), 3u);
  file.Close();
  EXPECT_EQ(getFile(path.string()), "new");
}

TEST(FileOpen, WriteModesDoNotCreateFilesAndKeepTheNameOnFailure) {
  TempDir dir;
  for (const int mode : {0, 3, 10}) {
    File file;
    EXPECT_FALSE(file.Open(pathIn(dir, "absent"), mode)) << mode;
    EXPECT_EQ(file.name(), pathIn(dir, "absent"));
    EXPECT_EQ(file.descriptor(), -1);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "absent"));
  File created;
  EXPECT_TRUE(created.Open(pathIn(dir, "created"), 5));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "created"));
}

TEST(FileOpen, NoModeTruncatesAnExistingFile) {
  TempDir dir;
  const auto path = dir.write("f", "0123456789");
  for (const int mode : {2, 3, 5, 9, 10, 11, 13, 18, 19}) {
    File file;
    ASSERT_TRUE(file.Open(path.string(), mode)) << mode;
    EXPECT_EQ(file.Size(), 10) << mode;
  }
}

TEST(FileIo, PositionedAndCurrentPositionCalls) {
  TempDir dir;
  const auto path = dir.write("f", "0123456789");
  File file;
  ASSERT_TRUE(file.Open(path.string(), 3));
  bool error = false;
  EXPECT_EQ(file.Read(4u, &error), "0123");
  EXPECT_EQ(file.Read(8LL, 10u, &error), "89");  // short at end of file
  EXPECT_EQ(file.Read(4u, &error), "4567");      // pread did not move the position
  EXPECT_TRUE(file.Seek(0));
  EXPECT_EQ(file.Write(std::string("ab"), &error), 2u);
  EXPECT_EQ(file.Write(12LL, std::string("Z"), &error), 1u);
  EXPECT_EQ(file.Size(), 13);
  EXPECT_TRUE(file.Seek(13));
  EXPECT_EQ(file.Read(5u, &error), "");
  EXPECT_FALSE(error);
  EXPECT_TRUE(file.Sync());
  file.Close();
  EXPECT_EQ(getFile(path.string()), std::string("ab23456789\0\0Z", 13));
}

TEST(FileIo, FailedCallsSetTheFlagAndNeverClearIt) {
  TempDir dir;
  const auto path = dir.write("f", "data");
  File file;
  ASSERT_TRUE(file.Open(path.string(), 0));
  bool error = false;
  EXPECT_EQ(file.Write(std::string("x"), &error), 0u);  // read-only descriptor
  EXPECT_TRUE(error);
  EXPECT_EQ(file.Read(2u, &error), "da");
  EXPECT_TRUE(error);
  EXPECT_EQ(file.Write(std::string("x"), nullptr), 0u);
}

TEST(FileMisc, ResizeRealSizePunchHoleAndDelete) {
  TempDir dir;
  File file;
  ASSERT_TRUE(file.Open(pathIn(dir, "sparse"), 5));
  EXPECT_TRUE(file.Resize(1 << 20));
  EXPECT_EQ(file.Size(), 1 << 20);
  EXPECT_LT(file.RealSize(), 1 << 20);
  EXPECT_FALSE(file.PunchHole(0, 4096));
  file.Close();
  EXPECT_TRUE(DeleteFileInt(pathIn(dir, "sparse")));
  EXPECT_FALSE(DeleteFileInt(pathIn(dir, "sparse")));
}

TEST(FileTemporary, PrivateFileInTmpdir) {
  TempDir dir;
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old != nullptr ? old : "";
  setenv("TMPDIR", dir.path().c_str(), 1);
  File file;
  const bool created = file.OpenTemporaryFile("ignored", false);
  if (old != nullptr) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  ASSERT_TRUE(created);
  const std::string prefix = (dir.path() / "cps.").string();
  EXPECT_EQ(file.name().substr(0, prefix.size()), prefix);
  EXPECT_EQ(file.name().size(), prefix.size() + 6);
  struct stat info {};
  ASSERT_EQ(stat(file.name().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(FileDevice, SizeOfWholeDiskAndPartitionIsTheirByteSize) {
  SKIP_WITHOUT_RIG();
  Rig rig({{"disk", "internal", "64M"}});
  rig.partition("disk", "label: dos\nstart=2048, size=20480, type=83\n");
  File disk;
  ASSERT_TRUE(disk.Open(rig.device("disk"), 0));
  EXPECT_EQ(disk.Size(), 64LL << 20);
  File part;
  ASSERT_TRUE(part.Open(rig.partition("disk", 1), 0));
  EXPECT_EQ(part.Size(), 20480LL * 512);
}
