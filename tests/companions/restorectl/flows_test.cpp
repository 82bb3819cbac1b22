// The commands driven against a scripted agent: what restorectl sends, in
// which order, what it prints and how it exits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "commands.h"
#include "fake_agent.h"

namespace restorectl {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace restorectl::testing;

const std::string kKeyC = "2024-01-05 10:30_C:";
const std::string kKeyD = "2024-01-05 10:30_D:";

class RestorectlFlows : public ::testing::Test {
protected:
  RestorectlFlows() {
    h.settings.answerTimeout = std::chrono::seconds(30);
    h.settings.progressTimeout = std::chrono::seconds(60);
    h.settings.assumeYes = true;
  }

  // A server that logs in without a password and has one client with images
  // of drives C and D on one 100 GiB source disk; the machine has a 200 GiB
  // disk /dev/sda.
  void scriptServerUpToEspCheck() {
    h.agent.on("init", {authMessage("login_success"), clientList({"pc1", "pc2"})});
    h.agent.on("-e", {imageList({{"C:", "2024-01-05 10:30", kKeyC}, {"D:", "2024-01-05 10:30", kKeyD}})});
    h.agent.on("-i", {fittingReport({disk("/dev/sda", "Disk A", 200LL << 30)},
                                    {sourceDisk("0", 100LL << 30, {kKeyC, kKeyD})})});
    h.agent.on("-c", {R"({"op": "-c", "Result": "ESPVOL-Present"})"});
    h.agent.on("-c", {R"({"op": "-c", "Result": "ESPVOL-Absent"})"});
  }

  int serverRestoreOfCAndD() {
    Driver driver = h.driver();
    driver.settle();
    return serverRestore(driver, "pc1", {{"/dev/sda", {kKeyC, kKeyD}}});
  }

  Harness h;
};

TEST_F(RestorectlFlows, LoginAsksAgainAfterAWrongPassword) {
  h.agent.on("init", {authMessage("password_needed")});
  h.agent.on("auth", {authMessage("login_failed"), authMessage("password_needed")});
  h.agent.on("auth", {authMessage("login_success"), clientList({"pc1", "pc2"})});
  h.console.passwords = {"wrong", "right"};
  Driver driver = h.driver();

  EXPECT_EQ(serverClients(driver), kSuccess);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "auth", "auth", "start-over"));
  EXPECT_EQ(h.agent.sent()[0]["mode"].asString(), "BMR_SERVER");
  EXPECT_EQ(h.agent.sent()[1]["pass"].asString(), "wrong");
  EXPECT_EQ(h.agent.sent()[2]["pass"].asString(), "right");
  EXPECT_EQ(h.out.str(), "pc1\npc2\n");
  EXPECT_THAT(h.err.str(), HasSubstr("The password was not accepted."));
}

TEST_F(RestorectlFlows, PasswordFromTheCommandLineIsNotRetriedWhenRejected) {
  h.settings.password = "secret";
  h.agent.on("init", {authMessage("password_needed")});
  h.agent.on("auth", {authMessage("login_failed"), authMessage("password_needed")});
  Driver driver = h.driver();

  EXPECT_EQ(serverClients(driver), kFailed);
  EXPECT_EQ(h.console.passwordPrompts, 0);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "auth", "start-over"));
  EXPECT_THAT(h.err.str(), HasSubstr("did not accept the password"));
}

TEST_F(RestorectlFlows, AcceptedPasswordIsSentAgainWithoutAskingWhenTheAgentRetries) {
  // The agent logged in but could not list the clients, and runs the login
  // dialogue again.
  h.agent.on("init", {authMessage("password_needed")});
  h.agent.on("auth", {authMessage("password_needed")});
  h.agent.on("auth", {authMessage("login_success"), clientList({"pc1"})});
  h.console.passwords = {"right"};
  Driver driver = h.driver();

  EXPECT_EQ(serverClients(driver), kSuccess);
  EXPECT_EQ(h.console.passwordPrompts, 1);
  EXPECT_EQ(h.agent.sent()[2]["pass"].asString(), "right");
}

TEST_F(RestorectlFlows, ThreeWrongPasswordsEndTheDialogue) {
  h.agent.on("init", {authMessage("password_needed")});
  for (int i = 0; i < 3; ++i) {
    h.agent.on("auth", {authMessage("login_failed"), authMessage("password_needed")});
  }
  h.console.passwords = {"a", "b", "c"};
  Driver driver = h.driver();

  EXPECT_EQ(serverClients(driver), kFailed);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "auth", "auth", "auth", "start-over"));
}

TEST_F(RestorectlFlows, NoTerminalForThePassword) {
  h.agent.on("init", {authMessage("password_needed")});
  h.console.passwords = {std::nullopt};
  Driver driver = h.driver();

  EXPECT_EQ(serverClients(driver), kFailed);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "start-over"));
  EXPECT_THAT(h.err.str(), HasSubstr("--password-file"));
}

TEST_F(RestorectlFlows, ServiceThatNeverOffersALoginTimesOut) {
  std::vector<std::string> repeats(100, authMessage("user_not_found"));
  h.agent.on("init", repeats);
  Driver driver = h.driver();

  EXPECT_EQ(serverClients(driver), kTimedOut);
  EXPECT_THAT(h.err.str(), HasSubstr("no login for the user \"admin\""));
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init")) << "no start-over: the session is not reading";
}

TEST_F(RestorectlFlows, AgentThatGivesUpReportsTheServerMissing) {
  h.agent.on("init", {authMessage("server_not_found")});
  Driver driver = h.driver();

  EXPECT_EQ(serverClients(driver), kFailed);
  EXPECT_THAT(h.err.str(), HasSubstr("Check that the backup service is running"));
}

TEST_F(RestorectlFlows, LeftoversFromAnEarlierSessionAreNotTakenAsAnswers) {
  h.agent.leftOver(progressMessage({{"C", "SUCCESS"}}));
  h.agent.leftOver(clientList({"stale"}));
  h.agent.on("init", {authMessage("login_success"), clientList({"fresh"})});
  Driver driver = h.driver();
  driver.settle();

  EXPECT_EQ(serverClients(driver), kSuccess);
  EXPECT_EQ(h.out.str(), "fresh\n");
}

TEST_F(RestorectlFlows, ImagesOfAClient) {
  h.agent.on("init", {authMessage("login_success"), clientList({"pc1"})});
  h.agent.on("-e", {imageList({{"C:", "2024-01-05 10:30", kKeyC}})});
  Driver driver = h.driver();

  EXPECT_EQ(serverImages(driver, "pc1"), kSuccess);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "-e", "start-over"));
  EXPECT_EQ(h.agent.sent()[1]["args"][0].asString(), "pc1");
  EXPECT_THAT(h.out.str(), HasSubstr(kKeyC));
}

TEST_F(RestorectlFlows, ListingErrorsBecomeSentences) {
  h.agent.on("init", {authMessage("login_success"), clientList({"pc1"})});
  h.agent.on("-e", {errorMessage("no_images_for_client", "1")});
  Driver driver = h.driver();

  EXPECT_EQ(serverImages(driver, "pc1"), kFailed);
  EXPECT_EQ(h.err.str(), "The backup server has no images for the client \"pc1\".\n");
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "-e", "start-over"));
}

TEST_F(RestorectlFlows, UnknownClientIsNotListed) {
  h.agent.on("init", {authMessage("login_success"), clientList({"pc1", "pc2"})});
  Driver driver = h.driver();

  EXPECT_EQ(serverImages(driver, "pc9"), kFailed);
  EXPECT_THAT(h.err.str(), HasSubstr("no client named \"pc9\"; its clients are pc1 and pc2"));
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "start-over"));
}

TEST_F(RestorectlFlows, ReportOfImagesThatNeedMoreDisks) {
  h.agent.on("init", {authMessage("login_success"), clientList({"pc1"})});
  h.agent.on("-e", {imageList({{"C:", "d", kKeyC}, {"D:", "d", kKeyD}})});
  h.agent.on("-i", {R"({"op": "-i", "error": "1", "source_count": 2, "target_count": 1})"});
  Driver driver = h.driver();

  EXPECT_EQ(serverReport(driver, "pc1", {kKeyC, kKeyD}), kFailed);
  EXPECT_THAT(h.err.str(), HasSubstr("2 source disks, but the agent's machine has only 1 target disk"));
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "-e", "-i", "start-over"));
}

TEST_F(RestorectlFlows, ReportOfAnImageTheClientDoesNotHave) {
  h.agent.on("init", {authMessage("login_success"), clientList({"pc1"})});
  h.agent.on("-e", {imageList({{"C:", "d", kKeyC}})});
  Driver driver = h.driver();

  EXPECT_EQ(serverReport(driver, "pc1", {"2023-01-01 00:00_Z:"}), kFailed);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "-e", "start-over"));
}

TEST_F(RestorectlFlows, RestoreWithProgressToSuccess) {
  scriptServerUpToEspCheck();
  h.agent.on("-r", {progressMessage({{"C", "10%"}, {"D", ""}}),
                    progressMessage({{"C", "100%"}, {"D", ""}}),
                    progressMessage({{"C", "SUCCESS"}, {"D", ""}}),
                    progressMessage({{"C", "SUCCESS"}, {"D", "50%"}}),
                    progressMessage({{"C", "SUCCESS"}, {"D", "SUCCESS"}})});

  EXPECT_EQ(serverRestoreOfCAndD(), kSuccess);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "-e", "-i", "-c", "-c", "-r"));
  const Json::Value& restore = h.agent.sent()[5];
  EXPECT_EQ(restore["restorepoints"][0]["out"].asString(), "/dev/sda");
  EXPECT_EQ(restore["restorepoints"][0]["in"][1].asString(), kKeyD);
  EXPECT_EQ(h.agent.sent()[2]["args"].size(), 2u);
  EXPECT_EQ(h.agent.sent()[3]["args"].asString(), kKeyC);
  EXPECT_THAT(h.out.str(), HasSubstr("with its EFI system partition"));
  EXPECT_THAT(h.out.str(), HasSubstr("Drive C: 10%\n"));
  EXPECT_THAT(h.out.str(), HasSubstr("Drive D: done\n"));
  EXPECT_THAT(h.out.str(), HasSubstr("All 2 drives were restored"));
}

TEST_F(RestorectlFlows, ServerRestoreReturnsOnlyOnceTheSessionHasEnded) {
  scriptServerUpToEspCheck();
  h.agent.on("-r", {progressMessage({{"C", "SUCCESS"}, {"D", "SUCCESS"}})});
  const auto start = h.clock.now();

  EXPECT_EQ(serverRestoreOfCAndD(), kSuccess);
  EXPECT_GE(h.clock.now() - start, h.settings.sessionEndWait);
}

TEST_F(RestorectlFlows, DriveErrorEndsTheServerRestoreWithFailure) {
  scriptServerUpToEspCheck();
  h.agent.on("-r", {progressMessage({{"C", "10%"}, {"D", ""}}),
                    progressMessage({{"C", "ERROR"}, {"D", ""}})});

  EXPECT_EQ(serverRestoreOfCAndD(), kFailed);
  EXPECT_THAT(h.err.str(), HasSubstr("Restoring drive C failed; the agent stopped the restore there. "
                                     "Not restored: drive D."));
}

TEST_F(RestorectlFlows, RefusedTargetShowsTheReasonBesideTheDrive) {
  scriptServerUpToEspCheck();
  h.agent.on("-r", {R"({"op":"refused","key":"C","target":"/dev/sda","reason":"partition /dev/sda2 of /dev/sda is in use as swap"})",
                    progressMessage({{"C", "ERROR"}, {"D", ""}})});

  EXPECT_EQ(serverRestoreOfCAndD(), kFailed);
  EXPECT_THAT(h.err.str(), HasSubstr("Drive C: /dev/sda was refused: partition /dev/sda2 of /dev/sda is in use as swap"));
}

TEST_F(RestorectlFlows, RestoreThatFallsSilentTimesOut) {
  scriptServerUpToEspCheck();
  h.agent.on("-r", {progressMessage({{"C", "10%"}, {"D", ""}})});

  EXPECT_EQ(serverRestoreOfCAndD(), kTimedOut);
  EXPECT_THAT(h.err.str(), HasSubstr("no progress for 60 seconds; the outcome of the restore is unknown. "
                                     "Not finished: drive C and drive D."));
}

TEST_F(RestorectlFlows, LostConnectionDuringTheRestoreIsReported) {
  scriptServerUpToEspCheck();
  h.agent.on("-r", {progressMessage({{"C", "10%"}, {"D", ""}}), kCloseConnection});

  EXPECT_EQ(serverRestoreOfCAndD(), kNoConnection);
  EXPECT_THAT(h.err.str(), HasSubstr("connection to the agent was lost"));
  EXPECT_THAT(h.err.str(), HasSubstr("may still be running"));
}

TEST_F(RestorectlFlows, CtrlCAsksTheAgentToCancel) {
  scriptServerUpToEspCheck();
  h.agent.on("-r", {progressMessage({{"C", "10%"}, {"D", ""}}), kPressCtrlC});
  h.agent.on("cancel-restore", {R"({"op": "cancel-restore", "msg": "success"})"});

  EXPECT_EQ(serverRestoreOfCAndD(), kFailed);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "-e", "-i", "-c", "-c", "-r", "cancel-restore"));
  EXPECT_THAT(h.err.str(), HasSubstr("cancelled the restore"));
}

TEST_F(RestorectlFlows, DeclinedConfirmationWritesNothing) {
  h.settings.assumeYes = false;
  h.console.confirmAnswer = false;
  scriptServerUpToEspCheck();

  EXPECT_EQ(serverRestoreOfCAndD(), kFailed);
  EXPECT_EQ(h.console.confirmations, 1);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "-e", "-i", "-c", "-c", "start-over"));
  EXPECT_THAT(h.err.str(), HasSubstr("no disk was written"));
}

TEST_F(RestorectlFlows, TargetThatTheAgentDoesNotOfferIsRefused) {
  scriptServerUpToEspCheck();
  Driver driver = h.driver();

  EXPECT_EQ(serverRestore(driver, "pc1", {{"/dev/sdb", {kKeyC}}}), kFailed);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "-e", "-i", "start-over"));
  EXPECT_THAT(h.err.str(), HasSubstr("/dev/sdb is not one of the agent's target disks"));
}

TEST_F(RestorectlFlows, JsonPrintsTheRawMessagesOnly) {
  h.settings.json = true;
  const std::string success = authMessage("login_success");
  const std::string clients = clientList({"pc1"});
  h.agent.on("init", {success, "not json", clients});
  Driver driver = h.driver();

  EXPECT_EQ(serverClients(driver), kSuccess);
  EXPECT_EQ(h.out.str(), success + "not json\n" + clients);
}

TEST_F(RestorectlFlows, UsbRestoreGoesOnAfterAFailedImage) {
  const std::string c = "/mnt/sdb1_1/TarnbyBMR_Backups/pc1/240105-1030_C/Image_C/C.vhd";
  const std::string d = "/mnt/sdb1_1/TarnbyBMR_Backups/pc1/240105-1030_D/Image_D/D.vhd";
  h.agent.on("-i", {fittingReport({disk("/dev/sda", "", 200LL << 30)},
                                  {sourceDisk("0", 100LL << 30, {c, d})})});
  h.agent.on("-c", {R"({"op": "-c", "Result": "ESPVOL-Absent"})"});
  h.agent.on("-c", {R"({"op": "-c", "Result": ""})"});
  h.agent.on("-r", {progressMessage({{"C", ""}, {"D", ""}}),
                    progressMessage({{"C", "ERROR"}, {"D", ""}}),
                    progressMessage({{"C", "ERROR"}, {"D", "40%"}}),
                    progressMessage({{"C", "ERROR"}, {"D", "SUCCESS"}})});
  Driver driver = h.driver();

  EXPECT_EQ(usbRestore(driver, {{"/dev/sda", {c, d}}}), kFailed);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "-i", "-c", "-c", "-r"));
  EXPECT_EQ(h.agent.sent()[0]["mode"].asString(), kExternalMode);
  EXPECT_THAT(h.out.str(), HasSubstr("Drive D: done"));
  EXPECT_THAT(h.err.str(), HasSubstr("Restoring drive C failed. Restored: drive D."));
}

TEST_F(RestorectlFlows, UsbClientsOfTheBackupFoldersFound) {
  Json::Value mounted;
  mounted["op"] = "-m";
  mounted["Result"].append(disk("/dev/sdb", "Stick", 64LL << 30,
                                {{"sdb1", "ntfs", "1000", "/mnt/sdb1_1/TarnbyBMR_Backups"},
                                 {"sdb2", "vfat", "1000", ""}}));
  h.agent.on("-m", {styled(mounted)});
  h.agent.on("-u", {clientList({"pc1", "pc2"})});
  Driver driver = h.driver();

  EXPECT_EQ(usbClients(driver, std::nullopt), kSuccess);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "-m", "-u", "start-over"));
  EXPECT_EQ(h.agent.sent()[2]["args"][0].asString(), "/mnt/sdb1_1/TarnbyBMR_Backups");
  EXPECT_THAT(h.out.str(), HasSubstr("pc2  /mnt/sdb1_1/TarnbyBMR_Backups/pc2\n"));
}

TEST_F(RestorectlFlows, UsbMountWithoutBackupFolderFails) {
  h.agent.on("-m", {R"({"op": "-m", "Result": null})"});
  Driver driver = h.driver();

  EXPECT_EQ(usbMount(driver), kFailed);
  EXPECT_THAT(h.out.str(), HasSubstr("No USB drives were found."));
  EXPECT_THAT(h.err.str(), HasSubstr("No backup folder was found"));
}

TEST_F(RestorectlFlows, UsbFolderListThatTheAgentCannotReadFails) {
  h.agent.on("-u", {R"({"error":"invalid json"})"});
  Driver driver = h.driver();

  EXPECT_EQ(usbClients(driver, std::string("/mnt/x")), kFailed);
  EXPECT_THAT(h.err.str(), HasSubstr("could not list the folders under /mnt/x"));
}

TEST_F(RestorectlFlows, CancelWithAndWithoutConfirmation) {
  h.agent.on("cancel-restore", {R"({"op": "cancel-restore", "msg": "success"})"});
  {
    Driver driver = h.driver();
    EXPECT_EQ(cancelRestore(driver), kSuccess);
    EXPECT_THAT(h.out.str(), HasSubstr("The agent confirmed the cancel"));
  }
  h.out.str("");
  {
    Driver driver = h.driver();
    EXPECT_EQ(cancelRestore(driver), kSuccess);
    EXPECT_THAT(h.out.str(), HasSubstr("The cancel request was sent."));
  }
}

TEST_F(RestorectlFlows, RebootOnlyAfterConfirmation) {
  h.settings.assumeYes = false;
  h.console.confirmAnswer = false;
  {
    Driver driver = h.driver();
    EXPECT_EQ(reboot(driver), kFailed);
    EXPECT_TRUE(h.agent.sentOps().empty());
  }
  h.console.confirmAnswer = true;
  Driver driver = h.driver();
  EXPECT_EQ(reboot(driver), kSuccess);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("reboot"));
}

TEST_F(RestorectlFlows, RebootDuringARestoreOnlyWhenForced) {
  h.agent.on("reboot", {R"({"op": "reboot", "msg": "restore_running"})"});
  {
    Driver driver = h.driver();
    EXPECT_EQ(reboot(driver), kFailed);
    EXPECT_THAT(h.err.str(), HasSubstr("A restore is running"));
    EXPECT_THAT(h.out.str(), Not(HasSubstr("was asked to reboot")));
  }
  Driver driver = h.driver();
  EXPECT_EQ(reboot(driver, true), kSuccess);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("reboot", "reboot"));
  EXPECT_FALSE(h.agent.sent()[0].isMember("force"));
  EXPECT_TRUE(h.agent.sent()[1]["force"].asBool());
}

TEST_F(RestorectlFlows, WatchFollowsTheRunningRestoreToItsEnd) {
  h.agent.leftOver(progressMessage({{"C", "SUCCESS"}, {"D", "40%"}}));
  h.agent.leftOver(progressMessage({{"C", "SUCCESS"}, {"D", "SUCCESS"}}));
  {
    Driver driver = h.driver();
    EXPECT_EQ(watchRestore(driver), kSuccess);
    EXPECT_TRUE(h.agent.sentOps().empty()) << "watching must not drive the restore";
    EXPECT_THAT(h.out.str(), HasSubstr("drive D"));
  }
  h.agent.leftOver(progressMessage({{"C", "ERROR"}, {"D", ""}}));
  {
    Driver driver = h.driver();
    EXPECT_EQ(watchRestore(driver), kFailed) << "a failed drive counted as restored";
  }
  h.err.str("");
  Driver driver = h.driver();
  EXPECT_EQ(watchRestore(driver), kFailed);
  EXPECT_THAT(h.err.str(), HasSubstr("No restore is running"));
}

TEST_F(RestorectlFlows, ARestoreRunningElsewhereStopsTheCommandAndItsWaitingSession) {
  h.agent.on("init", {R"({"op": "busy", "msg": "restore_running"})", progressMessage({{"C", "40%"}})});
  Driver driver = h.driver();

  EXPECT_EQ(serverClients(driver), kFailed);
  EXPECT_THAT(h.agent.sentOps(), ElementsAre("init", "start-over"));
  EXPECT_THAT(h.err.str(), HasSubstr("restorectl watch"));
}

TEST_F(RestorectlFlows, NetworkShowsTheScriptsAnswer) {
  h.agent.on("config_network", {R"({"op": "config_network", "Result": {"ip": "10.0.0.5"}})"});
  Driver driver = h.driver();

  EXPECT_EQ(configureNetwork(driver), kSuccess);
  EXPECT_THAT(h.out.str(), HasSubstr("\"ip\" : \"10.0.0.5\""));
}

TEST_F(RestorectlFlows, SilentAgentTimesOutWithASentence) {
  Driver driver = h.driver();

  EXPECT_EQ(configureNetwork(driver), kTimedOut);
  EXPECT_EQ(h.err.str(), "The agent did not answer within 30 seconds while restorectl waited for "
                         "the answer of the network script.\n");
}

}  // namespace
}  // namespace restorectl
