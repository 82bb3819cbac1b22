// Runs the server restore session on arbitrary messages from the user
// interface: the input is cut at line feeds into up to sixteen messages,
// followed by "start-over". The backup service, the disks and the disk
// restore are stand-ins, so nothing runs a command or touches a disk; their
// answers include odd ones (failed and undecodable records, target sizes that
// are no number). Checks that no message throws out of the session, that the
// session always ends with isRestoreProcessRunning cleared, that every answer
// is a JSON object with a text "op", and that nothing is restored without a
// "-r" operation.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "control/queues.h"
#include "control/shared_state.h"
#include "server_restore/progress.h"
#include "server_restore/session.h"
#include "support/pause.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

SImage image(int id, int64_t time, const std::string& date, const std::string& letter,
             std::vector<SImage> associated = {}) {
  SImage result;
  result.image_id = id;
  result.backup_time = time;
  result.backup_date = date;
  result.letter = letter;
  result.associated = std::move(associated);
  return result;
}

Json::Value disk(const std::string& device, const std::string& size) {
  Json::Value value;
  value["Device"] = device;
  value["Model"] = "";
  value["Size"] = size;
  return value;
}

std::vector<std::string> restoredTo;  // target of every restore call

server_restore::SessionServices standIns() {
  server_restore::SessionServices s;
  s.login = [](bool&) { return true; };
  s.listClients = [](int* err) {
    *err = 0;
    return std::vector<std::string>{"alpha", "beta"};
  };
  s.listImages = [](const std::string& client, int* err) {
    *err = client == "beta" ? 1 : 0;
    if (client != "alpha") return std::vector<SImage>{};
    return std::vector<SImage>{
        image(1, 300, "d3", "C", {image(2, 300, "d3", ""), image(3, 300, "d3", "")}),
        image(4, 100, "d1", "D", {image(5, 100, "d1", "")}),
        image(6, 200, "d2", "E"),
        image(7, 200, "d2", "E"),
        image(8, 50, "d0", ""),
    };
  };
  s.readSourceRecord = [](const SImage& img) {
    server_restore::SourceRecord record;
    if (img.image_id == 8) return record;  // the download fails
    record.outcome = img.image_id == 6 ? server_restore::SourceRecord::Outcome::decodeFailed
                                       : server_restore::SourceRecord::Outcome::read;
    record.device_number = img.image_id % 3 == 0 ? 10 : 2;
    return record;
  };
  s.lastSourceDiskSize = [] { return int64_t{5000}; };
  s.targetDisks = [] {
    Json::Value disks;
    disks.append(disk("/dev/sda", "6000"));
    disks.append(disk("/dev/sdb", "not a number"));
    disks.append(disk("/dev/sdc", "-5"));
    disks.append(disk("/dev/sdd", "99999999999999999999999"));
    return disks;
  };
  s.restore = [](const SImage&, const std::string& target, std::string& errtext) {
    restoredTo.push_back(target);
    errtext = target == "/dev/sdb" ? "cannot_write" : "";
  };
  return s;
}

std::vector<std::string> messagesOf(const std::string& input) {
  std::vector<std::string> messages;
  size_t from = 0;
  while (from <= input.size() && messages.size() < 16) {
    const size_t end = input.find('\n', from);
    messages.push_back(input.substr(from, end == std::string::npos ? std::string::npos : end - from));
    if (end == std::string::npos) break;
    from = end + 1;
  }
  return messages;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every fixed pause returns at once; the session's log lines go nowhere.
  setPauseFunction([](std::chrono::milliseconds) {});
  std::cout.setstate(std::ios::badbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> messages = messagesOf(input);
  msg_queue.clear();
  resp_queue.clear();
  restorePointToProgress.clear();
  cancelrestore = false;
  restoredTo.clear();
  for (const std::string& message : messages) msg_queue.push(message);
  msg_queue.push("{\"op\": \"start-over\"}");

  isRestoreProcessRunning = true;
  try {
    server_restore::runServerSession(standIns());
  } catch (...) {
    std::abort();
  }
  check(!isRestoreProcessRunning);

  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  while (const auto text = resp_queue.takeFor(std::chrono::milliseconds(0))) {
    Json::Value answer;
    std::string errors;
    check(reader->parse(text->data(), text->data() + text->size(), &answer, &errors));
    check(answer.isObject() && answer["op"].isString());
  }
  // A restore follows only a "-r" that the session took.
  if (!restoredTo.empty()) {
    bool asked = false;
    for (const std::string& message : messages) asked = asked || message.find("-r") != std::string::npos ||
                                                          message.find("\\u") != std::string::npos;
    check(asked);
  }
  return 0;
}
