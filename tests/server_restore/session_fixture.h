#pragma once
// Runs the server session on its own thread against stand-in services, feeds
// it operations through msg_queue and reads its answers from resp_queue.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "protocol/listing.h"
#include "server_restore/session_services.h"
#include "support/pause.h"

SImage makeImage(int id, int64_t time, const std::string& date, const std::string& letter,
                 std::vector<SImage> associated = {});

// The outside world of one session, scripted by the test.
struct FakeServer {
  std::vector<std::string> clients{"alpha"};
  int clientsCode = 0;
  std::map<std::string, std::vector<SImage>> images;
  int imagesCode = 0;
  // Source disk number and size per image id; ids missing here fail to
  // download, negative disk numbers fail to decode.
  std::map<int, std::pair<int, int64_t>> records;
  Json::Value targets;
  // errtext per image id (missing: success); `cancelAt` sets the cancel flag
  // while that image restores, as the endpoint would.
  std::map<int, std::string> failures;
  int cancelAt = -1;
  // Every restore call waits for the cancel flag, as a long download would.
  bool holdUntilCancel = false;
  std::atomic<int> holding{0};

  // What the session asked for.
  std::vector<std::string> restored;  // "<letter>@<disk>" per restore call
  int recordReads = 0;
  int sizeMeasures = 0;
  int lastDisk = 0;
};

class SessionTest : public testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  server_restore::SessionServices services();
  void start();
  void send(const std::string& text);
  // The next answer, parsed; a failure (and null) when none came in time.
  Json::Value next();
  bool quiet(std::chrono::milliseconds wait = std::chrono::milliseconds(200));
  // Waits until the session thread has ended.
  void join();
  // Logs in and sends "-e" for "alpha"; consumes the answers.
  void loginAndList();
  std::vector<std::chrono::milliseconds> pauses();

  FakeServer server_;
  // Set once the session thread has returned from the session (before it
  // gives up its turn).
  std::atomic<bool> sessionReturned_{false};

private:
  std::thread session_;
  std::mutex mutex_;
  std::vector<std::chrono::milliseconds> pauses_;
  PauseFunction previousPause_;
};

Json::Value diskInventory(const std::vector<int64_t>& sizes);
