// The server session's operation loop against every malformed message, one
// session per message, with stand-ins for the backup service and the disks:
// no message may end the session by an exception, restore anything, or stop
// it from answering the next operation. Only "-r" may end it (an empty plan
// does), and then it must clear isRestoreProcessRunning.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/queues.h"
#include "control/shared_state.h"
#include "hardening/malformed_messages.h"
#include "server_restore/progress.h"
#include "server_restore/session.h"
#include "support/pause.h"

namespace {

SImage image(int id, const std::string& date, const std::string& letter) {
  SImage result;
  result.image_id = id;
  result.backup_time = id * 100;
  result.backup_date = date;
  result.letter = letter;
  return result;
}

// "op" of a JSON object; empty for anything else, nesting too deep included.
std::string opOf(const std::string& text) {
  Json::Value value;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return {};
  } catch (const std::exception&) {
    return {};
  }
  return value.isObject() && value["op"].isString() ? value["op"].asString() : std::string();
}

class ServerSessionShapes : public ::testing::Test {
protected:
  void SetUp() override {
    msg_queue.clear();
    resp_queue.clear();
    restorePointToProgress.clear();
    previousPause_ = setPauseFunction([](std::chrono::milliseconds) {});
  }
  void TearDown() override {
    setPauseFunction(previousPause_);
    msg_queue.clear();
    resp_queue.clear();
    restorePointToProgress.clear();
    cancelrestore = false;
    isRestoreProcessRunning = false;
  }

  server_restore::SessionServices services() {
    server_restore::SessionServices s;
    s.login = [](bool&) { return true; };
    s.listClients = [](int* err) {
      *err = 0;
      return std::vector<std::string>{"alpha"};
    };
    s.listImages = [](const std::string&, int* err) {
      *err = 0;
      SImage system = image(1, "d1", "C");
      system.associated = {image(2, "d1", ""), image(3, "d1", "")};
      return std::vector<SImage>{system, image(4, "d2", "D")};
    };
    s.readSourceRecord = [](const SImage&) {
      server_restore::SourceRecord record;
      record.outcome = server_restore::SourceRecord::Outcome::read;
      return record;
    };
    s.lastSourceDiskSize = [] { return int64_t{1000}; };
    s.targetDisks = [] {
      Json::Value disks;
      Json::Value disk;
      disk["Device"] = "/dev/stand-in";
      disk["Model"] = "";
      disk["Size"] = "2000";
      disks.append(disk);
      return disks;
    };
    s.restore = [this](const SImage&, const std::string&, std::string&) { ++restores_; };
    return s;
  }

  // Runs one session: it lists and selects, takes `message`, then a "-c"
  // probe, then "start-over". Returns the parsed answers.
  std::vector<Json::Value> runWith(const std::string& message, bool& threw) {
    isRestoreProcessRunning = true;
    for (const char* text : {R"({"op": "-e", "args": ["alpha"]})", R"({"op": "-i", "args": ["d1_C"]})"}) {
      msg_queue.push(text);
    }
    msg_queue.push(message);
    msg_queue.push(R"({"op": "-c", "args": "d1_C"})");
    msg_queue.push(R"({"op": "start-over"})");
    std::atomic<bool> failed{false};
    std::thread session([this, &failed] {
      try {
        server_restore::runServerSession(services());
      } catch (...) {
        failed = true;
      }
    });
    session.join();
    threw = failed;
    std::vector<Json::Value> answers;
    while (const auto text = resp_queue.takeFor(std::chrono::milliseconds(0))) {
      Json::Value answer;
      Json::Reader reader;
      EXPECT_TRUE(reader.parse(*text, answer)) << *text;
      answers.push_back(answer);
    }
    msg_queue.clear();
    return answers;
  }

  std::atomic<int> restores_{0};
  PauseFunction previousPause_;
};

TEST_F(ServerSessionShapes, NoMalformedOperationStopsTheSessionOrRestoresAnything) {
  std::vector<std::string> messages = wrongMemberTypes();
  for (std::string& text : deeplyNested()) messages.push_back(std::move(text));
  for (std::string& text : nearSizeLimit(size_t{1} << 20)) messages.push_back(std::move(text));
  for (std::string& text : notJson(200, 3)) messages.push_back(std::move(text));

  for (const std::string& message : messages) {
    const std::string shown = message.substr(0, 160);
    bool threw = false;
    const std::vector<Json::Value> answers = runWith(message, threw);
    EXPECT_FALSE(threw) << shown;
    EXPECT_FALSE(isRestoreProcessRunning) << shown;
    EXPECT_EQ(restores_.load(), 0) << shown;

    bool probeAnswered = false;
    for (const Json::Value& answer : answers) {
      ASSERT_TRUE(answer.isObject() && answer["op"].isString()) << shown;
      probeAnswered = probeAnswered || answer["op"] == "-c";
    }
    EXPECT_TRUE(probeAnswered || opOf(message) == "-r") << "the session stopped answering after " << shown;
  }
}

}  // namespace
