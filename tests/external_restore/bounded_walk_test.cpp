#include "external_restore/bounded_walk.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "external_restore/catalogue.h"
#include "external_restore/folder_search.h"

namespace {

using namespace std::chrono_literals;

TEST(BoundedWalk, SymbolicLinksOnTheDriveAreNeverFollowed) {
  TempDir dir;
  const std::filesystem::path drive = dir.path() / "drive";
  std::filesystem::create_directories(drive / "B/pc");
  std::filesystem::create_directories(dir.path() / "elsewhere/TarnbyBMR_Backups/170315-1030_Image_C");
  std::ofstream(dir.path() / "elsewhere/TarnbyBMR_Backups/170315-1030_Image_C/x.vhd") << "x";
  std::filesystem::create_directory_symlink("/", drive / "B/pc/root");
  std::filesystem::create_directory_symlink(dir.path() / "elsewhere", drive / "B/out");

  std::vector<std::string> seen;
  EXPECT_EQ(walkTree(drive.string(), WalkLimits{}, [&seen](const std::string& path, bool) {
              seen.push_back(path);
              return true;
            }),
            WalkEnd::finished);
  EXPECT_EQ(seen.size(), 5u) << "drive, B, pc and the two links themselves";
  EXPECT_EQ(findBackupFolder(drive.string()), "");
  EXPECT_TRUE(listBackupPoints((drive / "B").string()).empty());
}

TEST(BoundedWalk, EndsAtItsEntryAndTimeLimits) {
  TempDir dir;
  for (int i = 0; i < 50; ++i) {
    std::filesystem::create_directories(dir.path() / ("d" + std::to_string(i)));
  }
  size_t visits = 0;
  const auto count = [&visits](const std::string&, bool) {
    ++visits;
    return true;
  };
  EXPECT_EQ(walkTree(dir.path().string(), WalkLimits{10, 60s}, count), WalkEnd::limitReached);
  EXPECT_EQ(visits, 10u);
  visits = 0;
  EXPECT_EQ(walkTree(dir.path().string(), WalkLimits{1000, 0ms}, count), WalkEnd::limitReached);
  EXPECT_LE(visits, 1u);
  EXPECT_EQ(walkTree((dir.path() / "missing").string(), WalkLimits{}, count), WalkEnd::failed);
}

TEST(BoundedWalk, ALargeDriveIsWalkedWholeWithinTheDefaultBounds) {
  TempDir dir;
  constexpr int kFolders = 200;
  constexpr int kFilesPerFolder = 1000;
  for (int f = 0; f < kFolders; ++f) {
    const std::filesystem::path folder = dir.path() / ("f" + std::to_string(f));
    std::filesystem::create_directory(folder);
    for (int i = 0; i < kFilesPerFolder; ++i) {
      std::ofstream(folder / std::to_string(i));
    }
  }
  size_t visits = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(walkTree(dir.path().string(), WalkLimits{}, [&visits](const std::string&, bool) {
              ++visits;
              return true;
            }),
            WalkEnd::finished);
  EXPECT_EQ(visits, size_t{1} + kFolders + kFolders * kFilesPerFolder);
  std::cout << "Walked " << visits << " entries in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count()
            << " ms\n";
}

}  // namespace
