#include "server_restore/session_fixture.h"

#include <json/reader.h>

#include "control/queues.h"
#include "control/shared_state.h"
#include "server_restore/progress.h"
#include "server_restore/session.h"

SImage makeImage(int id, int64_t time, const std::string& date, const std::string& letter,
                 std::vector<SImage> associated) {
  SImage image;
  image.image_id = id;
  image.backup_time = time;
  image.backup_date = date;
  image.letter = letter;
  image.associated = std::move(associated);
  return image;
}

Json::Value diskInventory(const std::vector<int64_t>& sizes) {
  Json::Value disks;
  int n = 0;
  for (int64_t size : sizes) {
    Json::Value disk;
    disk["Device"] = "/dev/sd" + std::string(1, static_cast<char>('a' + n++));
    disk["Model"] = "Disk";
    disk["Size"] = std::to_string(size);
    disks.append(disk);
  }
  return disks;
}

void SessionTest::SetUp() {
  msg_queue.clear();
  resp_queue.clear();
  restorePointToProgress.clear();
  cancelrestore = false;
  isRestoreProcessRunning = true;
  previousPause_ = setPauseFunction([this](std::chrono::milliseconds d) {
    const std::lock_guard lock(mutex_);
    pauses_.push_back(d);
  });
}

void SessionTest::TearDown() {
  if (session_.joinable()) {
    send(R"({"op": "start-over"})");
    session_.join();
  }
  setPauseFunction(previousPause_);
  msg_queue.clear();
  resp_queue.clear();
  restorePointToProgress.clear();
  cancelrestore = false;
  isRestoreProcessRunning = false;
}

server_restore::SessionServices SessionTest::services() {
  FakeServer& s = server_;
  server_restore::SessionServices services;
  services.login = [](bool&) { return true; };
  services.listClients = [&s](int* err) {
    *err = s.clientsCode;
    return s.clients;
  };
  services.listImages = [&s](const std::string& client, int* err) {
    *err = s.imagesCode;
    return s.images[client];
  };
  services.readSourceRecord = [&s](const SImage& image) {
    ++s.recordReads;
    server_restore::SourceRecord record;
    const auto found = s.records.find(image.image_id);
    if (found == s.records.end()) {
      return record;
    }
    if (found->second.first < 0) {
      record.outcome = server_restore::SourceRecord::Outcome::decodeFailed;
      return record;
    }
    record.outcome = server_restore::SourceRecord::Outcome::read;
    record.device_number = found->second.first;
    s.lastDisk = image.image_id;
    return record;
  };
  services.lastSourceDiskSize = [&s] {
    ++s.sizeMeasures;
    return s.records.at(s.lastDisk).second;
  };
  services.targetDisks = [&s] { return s.targets; };
  services.restore = [&s](const SImage& image, const std::string& disk, std::string& errtext) {
    s.restored.push_back(image.letter + "@" + disk);
    if (s.holdUntilCancel) {
      ++s.holding;
      while (!cancelrestore) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    if (image.image_id == s.cancelAt) {
      cancelrestore = true;
    }
    const auto failure = s.failures.find(image.image_id);
    errtext = failure == s.failures.end() ? std::string() : failure->second;
  };
  return services;
}

void SessionTest::start() {
  // A generation of its own, as "init" gives it: only what is sent from now
  // on reaches it.
  const unsigned generation = beginSessionGeneration();
  sessionReturned_ = false;
  session_ = std::thread([this, generation, services = services()] {
    const SessionTurn turn(generation);
    if (turn.entered()) {
      server_restore::runServerSession(services);
    }
    sessionReturned_ = true;
  });
}

void SessionTest::send(const std::string& text) { msg_queue.push(text); }

Json::Value SessionTest::next() {
  const auto text = resp_queue.takeFor(std::chrono::seconds(10));
  if (!text) {
    ADD_FAILURE() << "no answer from the session";
    return Json::Value();
  }
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(*text, value)) << *text;
  return value;
}

bool SessionTest::quiet(std::chrono::milliseconds wait) {
  const auto text = resp_queue.takeFor(wait);
  if (text) {
    ADD_FAILURE() << "unexpected answer: " << *text;
  }
  return !text;
}

void SessionTest::join() {
  if (session_.joinable()) {
    session_.join();
  }
}

void SessionTest::loginAndList() {
  start();
  EXPECT_EQ(next()["msg"].asString(), "login_success");
  EXPECT_EQ(next()["op"].asString(), "-u");
  send(R"({"op": "-e", "args": ["alpha"]})");
  EXPECT_EQ(next()["op"].asString(), "-e");
}

std::vector<std::chrono::milliseconds> SessionTest::pauses() {
  const std::lock_guard lock(mutex_);
  return pauses_;
}
