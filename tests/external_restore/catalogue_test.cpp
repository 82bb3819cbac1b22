#include "external_restore/catalogue.h"

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "external_restore/folder_search.h"

namespace {

// One backup point as the backup program writes it below a client folder:
// <base>/<yymmdd-HHMM>_Image_<vol>/<yymmdd-HHMM>_Image_<vol>_disk0.<ext> and
// the partition-table file beside it.
std::string writeImage(const TempDir& dir, const std::string& base, const std::string& stamp,
                       const std::string& volume, const std::string& ext = "vhd") {
  const std::string folder = stamp + "_Image_" + volume;
  const std::string relative = base + "/" + folder + "/" + folder + "_disk0." + ext;
  dir.write(relative, "image");
  dir.write(relative + ".mbr", "table");
  return (dir.path() / relative).string();
}

std::vector<std::string> pathsOf(const std::vector<BackupPoint>& points) {
  std::vector<std::string> paths;
  for (const BackupPoint& point : points) {
    paths.push_back(point.path);
  }
  return paths;
}

TEST(FileExtension, IsTheTextAfterTheLastDot) {
  EXPECT_EQ(getFileExt("/mnt/a.b/170315-1030_Image_C/x.tar.vhd"), "vhd");
  EXPECT_EQ(getFileExt("x.vhd.mbr"), "mbr");
  EXPECT_EQ(getFileExt("/mnt/no_extension"), "");
  EXPECT_EQ(getFileExt("trailing."), "");
  // The rule is on text, not on the last path component.
  EXPECT_EQ(getFileExt("/mnt/dir.raw/file"), "raw/file");
}

TEST(ProgressKey, IsTheFolderNameAfterItsLastUnderscore) {
  EXPECT_EQ(progressKeyOf("/mnt/b/TarnbyBMR_Backups/pc/170315-1030_Image_C/170315-1030_Image_C_disk0.vhd"), "C");
  EXPECT_EQ(progressKeyOf("/mnt/b/170315-1030_Image_SYSVOL/x.raw"), "SYSVOL");
  EXPECT_EQ(progressKeyOf("/mnt//b//Image_D//x.raw"), "D");
  EXPECT_EQ(progressKeyOf("/mnt/plain/x.raw"), "plain");
  EXPECT_EQ(progressKeyOf("x.raw"), "");
  EXPECT_EQ(folderKey("/mnt/b/170315-1030_Image_SYSVOL/"), "SYSVOL");
  EXPECT_EQ(folderKey("/mnt/b/170315-1030_Image_SYSVOL"), "SYSVOL");
}

TEST(VolumeSet, PartnersReplaceTheSystemVolumeFolder) {
  const std::string image = "/m/B/pc/170315-1030_Image_C/170315-1030_Image_C_disk0.vhd";
  EXPECT_TRUE(isSystemVolumeImage(image));
  EXPECT_FALSE(isSystemVolumeImage("/m/B/pc/170315-1030_Image_D/170315-1030_Image_D_disk0.vhd"));
  EXPECT_EQ(imageFolder(image), "/m/B/pc/170315-1030_Image_C/");
  EXPECT_EQ(sysvolFolderOf(image), "/m/B/pc/170315-1030_Image_SYSVOL/");
  EXPECT_EQ(sysvolRestoreFolderOf(image), "/m/B/pc/170315-1030_Image_SYSVOL/");
  EXPECT_EQ(espFolderOf(image), "/m/B/pc/170315-1030_Image_ESP/");
  EXPECT_EQ(sysvolImageOf(image), "/m/B/pc/170315-1030_Image_SYSVOL/170315-1030_Image_SYSVOL_disk0.vhd");
  EXPECT_EQ(espImageOf(image), "/m/B/pc/170315-1030_Image_ESP/170315-1030_Image_ESP_disk0.vhd");
}

TEST(BackupPointOf, ReadsLetterAndDateFromThePathBelowTheBase) {
  const auto point = backupPointOf("/m/B/pc", "/m/B/pc/170315-1030_Image_C/170315-1030_Image_C_disk0.vhd");
  ASSERT_TRUE(point.has_value());
  EXPECT_EQ(point->letter, "C:");
  EXPECT_EQ(point->backupdate, "2017-03-15 10:30");
  EXPECT_EQ(point->path, "/m/B/pc/170315-1030_Image_C/170315-1030_Image_C_disk0.vhd");

  const auto slashed = backupPointOf("/m/B/pc/", "/m/B/pc/991231-2359_Image_D/x.raw");
  ASSERT_TRUE(slashed.has_value());
  EXPECT_EQ(slashed->letter, "D:");
  EXPECT_EQ(slashed->backupdate, "1999-12-31 23:59");
}

TEST(BackupPointOf, LeavesOutPathsItCannotRead) {
  // Directly in the base: no folder to take the letter from.
  EXPECT_FALSE(backupPointOf("/m/B/pc", "/m/B/pc/170315-1030_x.vhd").has_value());
  // A "/" right at the start of the relative path.
  EXPECT_FALSE(backupPointOf("/m/B/pc", "/m/B/pc//170315-1030_Image_C/x.vhd").has_value());
  // Dates that do not parse, or with text left over.
  EXPECT_FALSE(backupPointOf("/m/B/pc", "/m/B/pc/latest_Image_C/x.vhd").has_value());
  EXPECT_FALSE(backupPointOf("/m/B/pc", "/m/B/pc/171315-1030_Image_C/x.vhd").has_value());
  EXPECT_FALSE(backupPointOf("/m/B/pc", "/m/B/pc/170315-1030x_Image_C/x.vhd").has_value());
  // Shorter than the base.
  EXPECT_FALSE(backupPointOf("/m/B/pc", "/m/B").has_value());
}

TEST(ListBackupPoints, ListsSystemAndDataVolumesOldestFirstWithoutTheirPartners) {
  TempDir dir;
  const std::string base = "TarnbyBMR_Backups/pc";
  // Created newest first so that creation order and date order differ.
  const std::string d3 = writeImage(dir, base, "190101-0000", "D", "raw");
  const std::string c2 = writeImage(dir, base, "180601-1200", "C");
  writeImage(dir, base, "180601-1200", "SYSVOL");
  writeImage(dir, base, "180601-1200", "ESP");
  const std::string c1 = writeImage(dir, base, "170315-1030", "C");
  const std::string e0 = writeImage(dir, base, "160101-0800", "E", "raw");
  const std::string d0 = writeImage(dir, base, "150101-0800", "D");

  const auto points = listBackupPoints((dir.path() / base).string());
  EXPECT_EQ(pathsOf(points), (std::vector<std::string>{d0, e0, c1, c2, d3}));
  ASSERT_EQ(points.size(), 5u);
  EXPECT_EQ(points[0].letter, "D:");
  EXPECT_EQ(points[0].backupdate, "2015-01-01 08:00");
  EXPECT_EQ(points[3].letter, "C:");
  EXPECT_EQ(points[3].backupdate, "2018-06-01 12:00");
}

TEST(ListBackupPoints, TrailingSlashOnTheBaseChangesNothing) {
  TempDir dir;
  writeImage(dir, "B", "170315-1030", "C");
  writeImage(dir, "B", "170316-1100", "D", "raw");
  const auto plain = listBackupPoints((dir.path() / "B").string());
  const auto slashed = listBackupPoints((dir.path() / "B").string() + "/");
  ASSERT_EQ(plain.size(), 2u);
  ASSERT_EQ(slashed.size(), 2u);
  for (size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(plain[i].letter, slashed[i].letter);
    EXPECT_EQ(plain[i].backupdate, slashed[i].backupdate);
  }
}

TEST(ListBackupPoints, ExtensionsAreExactAndDirectoriesCount) {
  TempDir dir;
  dir.write("B/170315-1030_Image_C/upper.VHD", "x");
  dir.write("B/170315-1030_Image_C/other.img", "x");
  std::filesystem::create_directories(dir.path() / "B/170316-1100_Image_D/folder.vhd");
  const auto points = listBackupPoints((dir.path() / "B").string());
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0].path, (dir.path() / "B/170316-1100_Image_D/folder.vhd").string());
  EXPECT_EQ(points[0].letter, "D:");
}

TEST(ListBackupPoints, PartnerImagesAloneGiveNothing) {
  TempDir dir;
  writeImage(dir, "B", "170315-1030", "SYSVOL");
  writeImage(dir, "B", "170315-1030", "ESP", "raw");
  EXPECT_TRUE(listBackupPoints((dir.path() / "B").string()).empty());
}

TEST(ListBackupPoints, UnreadableEntriesAreLeftOutAndAMissingBaseGivesNothing) {
  TempDir dir;
  const std::string good = writeImage(dir, "B", "170315-1030", "C");
  dir.write("B/loose.vhd", "x");
  writeImage(dir, "B", "notadate", "D");
  EXPECT_EQ(pathsOf(listBackupPoints((dir.path() / "B").string())), std::vector<std::string>{good});
  EXPECT_TRUE(listBackupPoints((dir.path() / "missing").string()).empty());
}

TEST(ListSubFolders, ListsVisibleDirectoriesOnly) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "B/pc1");
  std::filesystem::create_directories(dir.path() / "B/pc2/inner");
  std::filesystem::create_directories(dir.path() / "B/.hidden");
  dir.write("B/file.vhd", "x");
  auto names = listSubFolders((dir.path() / "B").string());
  ASSERT_TRUE(names.has_value());
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"pc1", "pc2"}));
  EXPECT_FALSE(listSubFolders((dir.path() / "missing").string()).has_value());
  EXPECT_FALSE(listSubFolders((dir.path() / "B/file.vhd").string()).has_value());
}

TEST(EspCheck, AsksForTheEspSiblingOfTheSystemVolumeFolder) {
  TempDir dir;
  const std::string withEsp = writeImage(dir, "B", "170315-1030", "C");
  writeImage(dir, "B", "170315-1030", "ESP");
  const std::string withoutEsp = writeImage(dir, "B", "180315-1030", "C");
  const std::string data = writeImage(dir, "B", "170315-1030", "D");
  EXPECT_EQ(espCheck(withEsp), "ESPVOL-Present");
  EXPECT_EQ(espCheck(withoutEsp), "ESPVOL-Absent");
  EXPECT_EQ(espCheck(data), "");
  EXPECT_EQ(espCheck(""), "");
}

TEST(FolderSearch, FindsTheFirstDirectoryNamingTheBackupFolder) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "drive/TarnbyBMR_Backups/pc/170315-1030_Image_C");
  const std::string found = findBackupFolder((dir.path() / "drive").string());
  EXPECT_EQ(found, (dir.path() / "drive/TarnbyBMR_Backups").string());

  std::filesystem::create_directories(dir.path() / "old/TarnbyBMR_Backups_old");
  EXPECT_EQ(findBackupFolder((dir.path() / "old").string()), (dir.path() / "old/TarnbyBMR_Backups_old").string());

  // A file of that name is not a backup folder, and the last result is cleared.
  dir.write("none/TarnbyBMR_Backups", "x");
  EXPECT_EQ(findBackupFolder((dir.path() / "none").string()), "");
  EXPECT_EQ(findBackupFolder((dir.path() / "missing").string()), "");
}

TEST(FolderSearch, VolumePresenceNeedsADirectory) {
  TempDir dir;
  dir.write("file", "x");
  std::filesystem::create_directories(dir.path() / "folder");
  std::filesystem::create_directory_symlink(dir.path() / "folder", dir.path() / "link");
  EXPECT_TRUE(isVolPresent((dir.path() / "folder").string()));
  EXPECT_TRUE(isVolPresent((dir.path() / "folder/").string()));
  EXPECT_TRUE(isVolPresent((dir.path() / "link").string()));
  EXPECT_FALSE(isVolPresent((dir.path() / "file").string()));
  EXPECT_FALSE(isVolPresent((dir.path() / "missing").string()));
}

}  // namespace
