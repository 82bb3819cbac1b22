#include <chrono>

#include <gtest/gtest.h>

#include "control/queues.h"
#include "control/shared_state.h"
#include "server_restore/login_phase.h"
#include "server_restore/progress.h"
#include "server_restore/session.h"
#include "server_restore/session_fixture.h"

using namespace std::chrono_literals;
using server_restore::LoginOutcome;

namespace {

int countOf(const std::vector<std::chrono::milliseconds>& pauses, std::chrono::milliseconds d) {
  return static_cast<int>(std::count(pauses.begin(), pauses.end(), d));
}

// --- login phase -----------------------------------------------------------

TEST_F(SessionTest, FiftyOneFailedAttemptsEndWithServerNotFound) {
  server_.clients.clear();  // logged in, but the service lists nobody
  start();
  join();
  const Json::Value message = next();
  EXPECT_EQ(message["op"].asString(), "auth");
  EXPECT_EQ(message["msg"].asString(), "server_not_found");
  EXPECT_TRUE(quiet());
  EXPECT_FALSE(isRestoreProcessRunning);
  // At least 102 seconds of the real program: 51 pauses of 2 s.
  EXPECT_EQ(countOf(pauses(), 2s), 51);
}

TEST(LoginFailure, ListingErrorsAndEmptyListsAreFailedAttempts) {
  EXPECT_EQ(server_restore::loginFailure(false, 0, 3), "login failed");
  EXPECT_EQ(server_restore::loginFailure(true, 2, 0), "no_server_found");
  EXPECT_EQ(server_restore::loginFailure(true, 1, 0), "internal_error");
  EXPECT_EQ(server_restore::loginFailure(true, 10, 0), "internal_error");
  EXPECT_EQ(server_restore::loginFailure(true, 0, 0), "no_clients_found`");
  EXPECT_EQ(server_restore::loginFailure(true, 0, 2), "");
}

TEST_F(SessionTest, ListingThatRecoversEndsTheLoginPhaseWithTheClients) {
  int calls = 0;
  auto services = SessionTest::services();
  services.listClients = [&calls](int* err) {
    // Two failures (no connection, then nobody listed) before the list.
    ++calls;
    *err = calls == 1 ? 10 : 0;
    return calls < 3 ? std::vector<std::string>{} : std::vector<std::string>{"alpha", "beta"};
  };
  std::vector<std::string> clients;
  EXPECT_EQ(server_restore::runLoginPhase(services, clients), LoginOutcome::loggedIn);
  EXPECT_EQ(clients, (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_EQ(next()["msg"].asString(), "login_success");
  const Json::Value list = next();
  EXPECT_EQ(list["op"].asString(), "-u");
  ASSERT_EQ(list["Result"].size(), 2u);
  EXPECT_EQ(list["Result"][1].asString(), "beta");
  const auto p = pauses();
  EXPECT_EQ(countOf(p, 2s), 2);
  EXPECT_EQ(countOf(p, 1s), 1);  // between login_success and the list
}

TEST_F(SessionTest, AbortDuringLoginEndsTheSessionSilently) {
  auto services = SessionTest::services();
  services.login = [](bool& abort) {
    abort = true;
    return true;
  };
  std::thread session([services] { server_restore::runServerSession(services); });
  session.join();
  EXPECT_FALSE(isRestoreProcessRunning);
  EXPECT_TRUE(quiet());
}

// --- browsing --------------------------------------------------------------

TEST_F(SessionTest, ImagesAreAnsweredOldestFirstWithoutDuplicates) {
  // The server lists oldest first here; the answer must not depend on it.
  server_.images["alpha"] = {makeImage(1, 100, "2017-07-14 02:40", "C"),
                             makeImage(2, 300, "2017-07-16 02:40", "C"),
                             makeImage(3, 200, "2017-07-15 02:40", "D"),
                             makeImage(4, 300, "2017-07-16 02:40", "C")};
  start();
  next();
  next();
  send(R"({"op": "-e", "args": ["alpha"]})");
  const Json::Value answer = next();
  EXPECT_EQ(answer["op"].asString(), "-e");
  ASSERT_EQ(answer["Result"].size(), 3u);
  EXPECT_EQ(answer["Result"][0]["path"].asString(), "2017-07-14 02:40_C");
  EXPECT_EQ(answer["Result"][1]["path"].asString(), "2017-07-15 02:40_D");
  EXPECT_EQ(answer["Result"][2]["path"].asString(), "2017-07-16 02:40_C");
  EXPECT_EQ(answer["Result"][1]["letter"].asString(), "D");
  EXPECT_EQ(answer["Result"][1]["backupdate"].asString(), "2017-07-15 02:40");
}

TEST_F(SessionTest, ImageListingFailuresAnswerWithAnError) {
  start();
  next();
  next();
  send(R"({"op": "-e", "args": ["alpha"]})");  // no images
  Json::Value error = next();
  EXPECT_EQ(error["op"].asString(), "error");
  EXPECT_EQ(error["msg"].asString(), "no_images_for_client");
  EXPECT_EQ(error["errorCode"].asString(), "1");

  // Without "args" the previous client is listed again.
  server_.images["alpha"] = {makeImage(1, 100, "d1", "C")};
  send(R"({"op": "-e"})");
  EXPECT_EQ(next()["Result"][0]["path"].asString(), "d1_C");
}

TEST_F(SessionTest, OperationsOfTheWrongShapeAreIgnoredAndTheSessionGoesOn) {
  server_.images["alpha"] = {makeImage(1, 100, "d1", "C")};
  start();
  next();
  next();
  send("abc");
  send(R"({"op": ["-e"]})");
  send(R"({"op": "-e", "args": [["alpha"]]})");
  send(R"({"op": "-e", "args": "alpha"})");
  send(R"({"op": "-i", "args": {"k": "d1_C"}})");
  send(R"({"op": "-c", "args": ["d1_C"]})");
  send(R"({"op": "-r", "restorepoints": [{"out": ["/dev/sda"], "in": ["d1_C"]}]})");
  send(R"({"op": "-r", "restorepoints": [{"out": "/dev/sda", "in": [1]}]})");
  send(R"({"op": "-r", "restorepoints": "all"})");
  send("[1, 2]");
  send(R"({"op": "nothing"})");
  EXPECT_TRUE(quiet(300ms));
  EXPECT_TRUE(server_.restored.empty());

  // An element of the wrong type in "-i" is skipped, the rest still counts.
  server_.records[1] = {0, 1000};
  server_.targets = diskInventory({2000});
  send(R"({"op": "-e", "args": ["alpha"]})");
  next();
  send(R"({"op": "-i", "args": [5, "d1_C"]})");
  const Json::Value report = next();
  EXPECT_EQ(report["error"].asString(), "0");
  EXPECT_EQ(report["SourceDisk"][0]["Drives"][0].asString(), "d1_C");
}

TEST_F(SessionTest, AbortListsTheClientsAgain) {
  start();
  next();
  next();
  server_.clients = {"alpha", "gamma"};
  send(R"({"op": "abort"})");
  EXPECT_EQ(next()["msg"].asString(), "login_success");
  const Json::Value list = next();
  EXPECT_EQ(list["op"].asString(), "-u");
  EXPECT_EQ(list["Result"][1].asString(), "gamma");
}

TEST_F(SessionTest, SelectionWithNoMatchReportsNullDisks) {
  server_.images["alpha"] = {makeImage(1, 100, "d1", "C")};
  loginAndList();
  send(R"({"op": "-i", "args": ["nothing_X"]})");
  const Json::Value report = next();
  EXPECT_EQ(report["op"].asString(), "-i");
  EXPECT_EQ(report["error"].asString(), "0");
  EXPECT_TRUE(report["TargetDrives"].isNull());
  EXPECT_TRUE(report["SourceDisk"].isNull());
}

TEST_F(SessionTest, SelectionReportsFitAndShortage) {
  server_.images["alpha"] = {makeImage(1, 300, "d1", "C"), makeImage(2, 200, "d2", "D"),
                             makeImage(3, 100, "d3", "E")};
  // Disk numbers 10 and 2: "10" sorts first. Image 3 lies on disk 10 too.
  server_.records = {{1, {2, 5000}}, {2, {10, 1000}}, {3, {10, 999999}}};
  server_.targets = diskInventory({4000});
  loginAndList();

  send(R"({"op": "-i", "args": ["d1_C", "d2_D"]})");
  Json::Value report = next();
  EXPECT_EQ(report["error"].asString(), "1");
  EXPECT_EQ(report["source_count"].asUInt(), 2u);
  EXPECT_EQ(report["target_count"].asUInt(), 1u);
  EXPECT_FALSE(report.isMember("SourceDisk"));

  // Disk "10" (1000 bytes) fits, disk "2" (5000 bytes) fits none.
  server_.targets = diskInventory({4000, 3000});
  send(R"({"op": "-i", "args": ["d1_C", "d2_D", "d3_E"]})");
  report = next();
  EXPECT_EQ(report["error"].asString(), "2");
  EXPECT_EQ(report["source_size"].asInt64(), 5000);
  ASSERT_EQ(report["target_size"].size(), 2u);
  EXPECT_EQ(report["target_size"][0].asInt64(), 4000);
  EXPECT_EQ(report["target_size"][1].asInt64(), 3000);

  server_.targets = diskInventory({6000, 3000});
  const int measuresBefore = server_.sizeMeasures;
  send(R"({"op": "-i", "args": ["d1_C", "d2_D", "d3_E"]})");
  report = next();
  EXPECT_EQ(report["error"].asString(), "0");
  ASSERT_EQ(report["SourceDisk"].size(), 2u);
  EXPECT_EQ(report["SourceDisk"][0]["Name"].asString(), "Disk 10");
  EXPECT_EQ(report["SourceDisk"][0]["Size"].asInt64(), 1000);
  ASSERT_EQ(report["SourceDisk"][0]["Drives"].size(), 2u);
  EXPECT_EQ(report["SourceDisk"][0]["Drives"][1].asString(), "d3_E");
  EXPECT_EQ(report["SourceDisk"][1]["Name"].asString(), "Disk 2");
  EXPECT_EQ(report["TargetDrives"].size(), 2u);
  // Each source disk is measured once, from its first image.
  EXPECT_EQ(server_.sizeMeasures - measuresBefore, 2);
}

TEST_F(SessionTest, SelectionStopsAtAFailedDownloadAndSkipsUndecodableRecords) {
  server_.images["alpha"] = {makeImage(1, 300, "d1", "C"), makeImage(2, 200, "d2", "D"),
                             makeImage(3, 100, "d3", "E")};
  server_.records = {{1, {-1, 0}}, {2, {4, 100}}};  // 1 undecodable, 3 missing
  server_.targets = diskInventory({4000});
  loginAndList();
  send(R"({"op": "-i", "args": ["d1_C", "d2_D", "d3_E"]})");
  const Json::Value report = next();
  EXPECT_EQ(report["error"].asString(), "0");
  ASSERT_EQ(report["SourceDisk"].size(), 1u);
  EXPECT_EQ(report["SourceDisk"][0]["Name"].asString(), "Disk 4");
  EXPECT_EQ(server_.recordReads, 3);

  send(R"({"op": "-i", "args": ["d3_E", "d2_D"]})");
  EXPECT_TRUE(next()["SourceDisk"].isNull());
  EXPECT_EQ(server_.recordReads, 4);  // the failed download ended the examination
}

TEST_F(SessionTest, EspCheckLooksAtTheSelection) {
  const SImage system = makeImage(11, 100, "d1", "");
  const SImage esp = makeImage(12, 100, "d1", "");
  server_.images["alpha"] = {makeImage(1, 100, "d1", "C", {system, esp}), makeImage(2, 50, "d0", "D", {system})};
  server_.records = {{1, {0, 10}}, {2, {0, 10}}};
  server_.targets = diskInventory({100});
  loginAndList();
  send(R"({"op": "-c", "args": "d1_C"})");
  EXPECT_EQ(next()["Result"].asString(), "ESPVOL-Absent");  // nothing selected yet
  send(R"({"op": "-i", "args": ["d1_C", "d0_D"]})");
  next();
  send(R"({"op": "-c", "args": "d1_C"})");
  Json::Value answer = next();
  EXPECT_EQ(answer["op"].asString(), "-c");
  EXPECT_EQ(answer["Result"].asString(), "ESPVOL-Present");
  send(R"({"op": "-c", "args": "d0_D"})");
  EXPECT_EQ(next()["Result"].asString(), "ESPVOL-Absent");
}

// --- restore ---------------------------------------------------------------

class RestoreSessionTest : public SessionTest {
protected:
  void prepare() {
    const SImage system = makeImage(11, 100, "d1", "");
    const SImage esp = makeImage(12, 100, "d1", "");
    server_.images["alpha"] = {makeImage(1, 100, "d1", "C:", {system, esp}), makeImage(2, 90, "d2", "F")};
    server_.records = {{1, {0, 10}}, {2, {1, 10}}};
    server_.targets = diskInventory({100, 100});
    loginAndList();
    send(R"({"op": "-i", "args": ["d1_C:", "d2_F"]})");
    EXPECT_EQ(next()["error"].asString(), "0");
  }
  // Takes "-p" messages until one whose `key` has `status`.
  Json::Value progressUntil(const std::string& key, const std::string& status) {
    for (int i = 0; i < 20; ++i) {
      const Json::Value message = next();
      if (message["op"].asString() != "-p") {
        ADD_FAILURE() << "expected progress, got " << message.toStyledString();
        return message;
      }
      if (message["progress"][key].asString() == status) {
        return message;
      }
    }
    ADD_FAILURE() << "no progress message with " << key << " " << status;
    return Json::Value();
  }
};

TEST_F(RestoreSessionTest, RestoresThePlanInOrderAndReportsEachDrive) {
  prepare();
  restorePointToProgress.set("Z", "stale");
  send(R"({"op": "-r", "restorepoints": [{"out": "/dev/sdb", "in": ["d2_F"]},
                                         {"out": "/dev/sda", "in": ["d1_C:"]}]})");
  // Targets in text order; associated images first, named SYSVOL and ESPVOL.
  Json::Value p = progressUntil("SYSVOL", "SUCCESS");
  EXPECT_EQ(p["progress"]["ESPVOL"].asString(), "");
  EXPECT_EQ(p["progress"]["C"].asString(), "");
  EXPECT_EQ(p["progress"]["F"].asString(), "");
  EXPECT_FALSE(p["progress"].isMember("Z"));  // the table starts afresh
  progressUntil("ESPVOL", "SUCCESS");
  progressUntil("C", "SUCCESS");
  p = progressUntil("F", "SUCCESS");
  EXPECT_EQ(p["progress"]["C"].asString(), "SUCCESS");
  join();
  EXPECT_TRUE(quiet());
  EXPECT_FALSE(isRestoreProcessRunning);
  EXPECT_EQ(server_.restored,
            (std::vector<std::string>{"SYSVOL@/dev/sda", "ESPVOL@/dev/sda", "C:@/dev/sda", "F@/dev/sdb"}));
  const auto all = pauses();
  EXPECT_EQ(countOf(all, 5s), 2);   // after each associated image
  EXPECT_EQ(countOf(all, 10s), 2);  // after each image
  EXPECT_EQ(all.back(), 2s);        // before the session ends
}

TEST_F(RestoreSessionTest, FirstFailureMarksTheDriveAndStops) {
  prepare();
  server_.failures[11] = "no_restore_partition";
  send(R"({"op": "-r", "restorepoints": [{"out": "/dev/sda", "in": ["d1_C:", "d2_F"]}]})");
  const Json::Value p = next();
  EXPECT_EQ(p["op"].asString(), "-p");
  EXPECT_EQ(p["progress"]["SYSVOL"].asString(), "ERROR");
  join();
  EXPECT_TRUE(quiet());
  EXPECT_EQ(server_.restored, (std::vector<std::string>{"SYSVOL@/dev/sda"}));
  EXPECT_FALSE(isRestoreProcessRunning);
}

TEST_F(RestoreSessionTest, CancelDuringAPartitionEndsWithTheAcknowledgement) {
  prepare();
  server_.cancelAt = 12;
  server_.failures[12] = "server_doesnot_respond`";
  cancelrestore = true;  // an old cancel is forgotten when "-r" starts
  send(R"({"op": "-r", "restorepoints": [{"out": "/dev/sda", "in": ["d1_C:"]}]})");
  progressUntil("SYSVOL", "SUCCESS");
  const Json::Value ack = next();
  EXPECT_EQ(ack["op"].asString(), "cancel-restore");
  EXPECT_EQ(ack["msg"].asString(), "success");
  join();
  EXPECT_TRUE(quiet());
  EXPECT_EQ(restorePointToProgress.snapshot().at("ESPVOL"), "");
  EXPECT_EQ(server_.restored, (std::vector<std::string>{"SYSVOL@/dev/sda", "ESPVOL@/dev/sda"}));
}

TEST_F(RestoreSessionTest, AnInitDuringARestoreLeavesItRunningAndTheNextSessionWaitsForItsEnd) {
  prepare();
  server_.holdUntilCancel = true;
  send(R"({"op": "-r", "restorepoints": [{"out": "/dev/sda", "in": ["d1_C:"]}]})");
  for (int i = 0; i < 5000 && server_.holding.load() == 0; ++i) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(server_.holding.load(), 1);

  // What the endpoint does for the next "init".
  const unsigned successorGeneration = beginSessionGeneration();
  EXPECT_FALSE(cancelrestore) << "a new session cancelled the restore";
  std::atomic<bool> entered{false};
  std::atomic<bool> predecessorHadEnded{false};
  std::thread successor([&] {
    const SessionTurn turn(successorGeneration);
    predecessorHadEnded = sessionReturned_.load();
    entered = turn.entered();
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(entered) << "two sessions ran at once";
  EXPECT_EQ(server_.holding.load(), 1) << "the restore stopped for the new session";

  // Only "cancel-restore" ends it early.
  cancelrestore = true;
  successor.join();
  join();
  EXPECT_TRUE(entered);
  EXPECT_TRUE(predecessorHadEnded) << "two sessions ran at once";
  EXPECT_EQ(server_.restored, std::vector<std::string>{"SYSVOL@/dev/sda"}) << "the run went on after the cancel";
  const Json::Value ack = next();
  EXPECT_EQ(ack["op"].asString(), "cancel-restore");
}

TEST_F(RestoreSessionTest, EmptyPlanEndsAfterTwoSecondsWithoutAMessage) {
  prepare();
  send(R"({"op": "-r", "restorepoints": []})");
  join();
  EXPECT_TRUE(quiet());
  EXPECT_FALSE(isRestoreProcessRunning);
  EXPECT_EQ(pauses().back(), 2s);
  EXPECT_TRUE(server_.restored.empty());
}

TEST_F(SessionTest, StartOverEndsTheSession) {
  start();
  next();
  next();
  send(R"({"op": "start-over"})");
  join();
  EXPECT_FALSE(isRestoreProcessRunning);
  EXPECT_TRUE(quiet());
}

}  // namespace
