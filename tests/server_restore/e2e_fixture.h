#pragma once
// One end-to-end server restore setting: rig disks, a backup service with its
// store, the real agent in a working directory of its own (restore tool,
// get_ip.sh, keelback/pw.txt), and a WebSocket client that talks like the
// user interface.
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "common/agent_process.h"
#include "common/backup_service_process.h"
#include "common/temp_dir.h"
#include "common/ws_client.h"
#include "rig/rig_fixture.h"

class ServerRestoreEndToEnd : public testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Builds the rig (call first in a test).
  void makeRig(std::vector<RigDiskSpec> disks);
  // Captures `partition` of rig disk `disk` into the store; returns the id.
  int capture(const std::string& disk, int partition, const std::string& letter, int64_t time,
              int associatedTo = 0, int deviceNumber = 0);
  void startService(std::vector<std::string> arguments = {});
  // Starts the agent, connects and sends "init" for the server restore.
  void startSession();

  void send(const std::string& text);
  // The next message, parsed; null (and a failure) when none came in time.
  Json::Value receive(std::chrono::seconds timeout = std::chrono::seconds(20));
  // Messages are skipped until one with this "op" arrives.
  Json::Value receiveOp(const std::string& op, std::chrono::seconds timeout = std::chrono::seconds(30));
  // True when nothing arrives within `wait`.
  bool silentFor(std::chrono::seconds wait);

  // "init", login (open store), "-u", "-e" for `client`; returns the "-e" answer.
  Json::Value loginAndListImages(const std::string& client);

  // Follows "-p" messages until every key of `keys` is "SUCCESS" or any key
  // is "ERROR"; returns every message received meanwhile.
  std::vector<Json::Value> followRestore(const std::vector<std::string>& keys, std::chrono::seconds timeout);

  std::unique_ptr<Rig> rig_;
  TempDir work_;
  TempDir store_;
  std::unique_ptr<BackupServiceProcess> service_;
  std::unique_ptr<AgentProcess> agent_;
  WsClient client_;
};

// Offset of the first byte where the two files or devices differ over
// `length` bytes from `offset`; nothing when they are equal.
std::optional<long long> firstDifference(const std::string& a, const std::string& b, long long offset,
                                         long long length);
long long deviceSize(const std::string& path);
// The status of `key` in a "-p" message ("" when absent).
std::string statusOf(const Json::Value& progress, const std::string& key);
