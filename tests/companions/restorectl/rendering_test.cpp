#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "progress_view.h"
#include "sentences.h"
#include "tables.h"

namespace restorectl {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(RestorectlSentences, SizesReadLikeADiskLabel) {
  EXPECT_EQ(formatBytes(0), "0 bytes");
  EXPECT_EQ(formatBytes(1023), "1023 bytes");
  EXPECT_EQ(formatBytes(1536), "1.5 KiB");
  EXPECT_EQ(formatBytes(500107862016), "465.8 GiB");
  EXPECT_EQ(formatBytes(-1), "unknown size");
}

TEST(RestorectlSentences, LoginOutcomes) {
  EXPECT_THAT(loginFailureSentence("server_not_found"), HasSubstr("backup service is running"));
  EXPECT_EQ(loginFailureSentence("login_failed"), "The backup service did not accept the password.");
  EXPECT_THAT(loginFailureSentence("user_not_found"), HasSubstr("no login for the user \"admin\""));
  EXPECT_THAT(loginFailureSentence("strange_word"), HasSubstr("\"strange_word\""));
}

TEST(RestorectlSentences, ListingErrorsWithAndWithoutBackQuote) {
  EXPECT_EQ(listingErrorSentence({"no_images_for_client", "1"}, "pc1"),
            "The backup server has no images for the client \"pc1\".");
  EXPECT_THAT(listingErrorSentence({"internal_error", "2"}, "pc1"), HasSubstr("internal error"));
  EXPECT_EQ(listingErrorSentence({"no_server_found`", "3"}, "pc1"),
            listingErrorSentence({"no_server_found", "3"}, "pc1"));
  EXPECT_THAT(listingErrorSentence({"no_server_found`", "3"}, "pc1"),
              HasSubstr("could not reach the backup service"));
  EXPECT_EQ(listingErrorSentence({"no_clients_found`", "3"}, "pc1"),
            "The backup server has no backup clients.");
  EXPECT_THAT(listingErrorSentence({"odd", "9"}, "pc1"), HasSubstr("\"odd\" (code 9)"));
}

TEST(RestorectlSentences, DiskReportFailures) {
  DiskReport tooFew;
  tooFew.error = "1";
  tooFew.sourceCount = 2;
  tooFew.targetCount = 1;
  EXPECT_EQ(diskReportSentence(tooFew),
            "The chosen images come from 2 source disks, but the agent's machine has only 1 target disk.");
  tooFew.targetCount = 0;
  tooFew.sourceCount = 1;
  EXPECT_EQ(diskReportSentence(tooFew),
            "The chosen images come from 1 source disk, but the agent's machine has no target disk.");

  DiskReport tooSmall;
  tooSmall.error = "2";
  tooSmall.sourceSize = 250LL << 30;
  tooSmall.targetSizes = {100LL << 30, 200LL << 30};
  EXPECT_EQ(diskReportSentence(tooSmall),
            "A source disk of 250.0 GiB does not fit on any target disk (the target disks hold "
            "100.0 GiB and 200.0 GiB).");
}

TEST(RestorectlSentences, ConnectionAndTimeOut) {
  EXPECT_EQ(connectionLostSentence("the connection to the agent was cut", false),
            "The connection to the agent was lost (the connection to the agent was cut).");
  EXPECT_THAT(connectionLostSentence("x", true), HasSubstr("may still be running"));
  EXPECT_EQ(timeoutSentence("the list of backup clients", std::chrono::seconds(120)),
            "The agent did not answer within 120 seconds while restorectl waited for the list of "
            "backup clients.");
}

TEST(RestorectlSentences, RestoreOutcomes) {
  EXPECT_EQ(restoreOutcomeSentence({{"C", "SUCCESS"}}, true), "Restored drive C.");
  EXPECT_EQ(restoreOutcomeSentence({{"C", "SUCCESS"}, {"SYSVOL", "SUCCESS"}, {"D", "SUCCESS"}}, true),
            "All 3 drives were restored: drive C, drive D and the system-reserved volume.");
  EXPECT_EQ(restoreOutcomeSentence({{"C", "SUCCESS"}, {"D", "ERROR"}, {"E", ""}}, true),
            "Restoring drive D failed; the agent stopped the restore there. Not restored: drive E. "
            "Restored: drive C.");
  EXPECT_EQ(restoreOutcomeSentence({{"C", "ERROR"}, {"D", "SUCCESS"}}, false),
            "Restoring drive C failed. Restored: drive D.");
  EXPECT_EQ(restoreOutcomeSentence({{"ESPVOL", "40%"}}, false),
            "Not restored: the EFI system partition.");
}

TEST(RestorectlProgressBars, PercentagesAndStatusWords) {
  EXPECT_EQ(percentOf("45%"), 45.0);
  EXPECT_EQ(percentOf("45.5%"), 45.5);
  EXPECT_EQ(percentOf("130%"), 100.0);
  EXPECT_FALSE(percentOf("45").has_value());
  EXPECT_FALSE(percentOf("%").has_value());
  EXPECT_FALSE(percentOf("SUCCESS").has_value());
  EXPECT_FALSE(percentOf("4x%").has_value());

  EXPECT_THAT(progressLine("C", "50%"), HasSubstr("[###############---------------] 50%"));
  EXPECT_THAT(progressLine("C", "SUCCESS"), HasSubstr("[##############################] done"));
  EXPECT_THAT(progressLine("C", "ERROR"), HasSubstr("] FAILED"));
  EXPECT_THAT(progressLine("SYSVOL", ""), HasSubstr("] waiting"));
  EXPECT_EQ(progressLine("C", "1%").rfind("Drive C ", 0), 0u);
}

TEST(RestorectlProgressBars, TerminalRedrawsTheBarsInPlace) {
  std::ostringstream out;
  ProgressView view(out, true);
  view.update({{"C", "10%"}, {"D", ""}});
  const std::string first = out.str();
  EXPECT_THAT(first, Not(HasSubstr("\x1b[2F")));
  EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 2);

  out.str("");
  view.update({{"C", "20%"}, {"D", ""}});
  const std::string second = out.str();
  EXPECT_EQ(second.rfind("\x1b[2F", 0), 0u) << "the cursor goes back up to the first bar";
  EXPECT_THAT(second, HasSubstr("20%"));
  EXPECT_EQ(std::count(second.begin(), second.end(), '\n'), 2);
}

TEST(RestorectlProgressBars, PlainOutputPrintsOnlyChanges) {
  std::ostringstream out;
  ProgressView view(out, false);
  view.update({{"C", "10%"}, {"D", ""}});
  view.update({{"C", "10%"}, {"D", ""}});
  view.update({{"C", "SUCCESS"}, {"D", "5%"}});
  EXPECT_EQ(out.str(),
            "Drive C: 10%\n"
            "Drive D: waiting\n"
            "Drive C: done\n"
            "Drive D: 5%\n");
  EXPECT_THAT(out.str(), Not(HasSubstr("\x1b")));
}

TEST(RestorectlTables, ColumnsLineUp) {
  EXPECT_EQ(formatColumns({{"a", "bb", "c"}, {"ccc", "d", "e"}}),
            "a    bb  c\n"
            "ccc  d   e\n");

  std::ostringstream out;
  printImages(out, {{"C:", "2024-01-05 10:30", "k1"}}, "Image key");
  EXPECT_EQ(out.str(),
            "Backup date       Drive  Image key\n"
            "2024-01-05 10:30  C:     k1\n");
}

TEST(RestorectlTables, BackupFoldersOfTheUsbDrives) {
  std::vector<TargetDisk> drives(2);
  drives[0].partitions = {{"sdb1", "ntfs", "1", "/mnt/sdb1_1/TarnbyBMR_Backups"}, {"sdb2", "", "1", ""}};
  drives[1].partitions = {{"sdc1", "btrfs", "1", "/mnt/sdc1_1/TarnbyBMR_Backups"}};
  EXPECT_EQ(backupFolders(drives), (std::vector<std::string>{"/mnt/sdb1_1/TarnbyBMR_Backups",
                                                             "/mnt/sdc1_1/TarnbyBMR_Backups"}));
  std::ostringstream out;
  printUsbDrives(out, drives);
  EXPECT_THAT(out.str(), HasSubstr("sdb2"));
  EXPECT_THAT(out.str(), HasSubstr("none"));
}

}  // namespace
}  // namespace restorectl
