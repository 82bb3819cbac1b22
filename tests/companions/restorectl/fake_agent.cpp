#include "fake_agent.h"

#include <gtest/gtest.h>

#include "messages.h"

namespace restorectl::testing {

std::string styled(const Json::Value& value) { return value.toStyledString(); }

std::string authMessage(const std::string& msg) {
  Json::Value value;
  value["op"] = "auth";
  value["msg"] = msg;
  return styled(value);
}

std::string clientList(const std::vector<std::string>& names) {
  Json::Value value;
  value["op"] = "-u";
  value["Result"] = Json::arrayValue;
  for (const auto& name : names) {
    value["Result"].append(name);
  }
  return styled(value);
}

std::string imageList(const std::vector<std::vector<std::string>>& images) {
  Json::Value value;
  value["op"] = "-e";
  value["Result"] = Json::arrayValue;
  for (const auto& image : images) {
    Json::Value entry;
    entry["letter"] = image.at(0);
    entry["backupdate"] = image.at(1);
    entry["path"] = image.at(2);
    value["Result"].append(entry);
  }
  return styled(value);
}

std::string progressMessage(const std::map<std::string, std::string>& table) {
  Json::Value value;
  value["op"] = "-p";
  for (const auto& [key, status] : table) {
    value["progress"][key] = status;
  }
  return styled(value);
}

std::string errorMessage(const std::string& msg, const std::string& code) {
  Json::Value value;
  value["op"] = "error";
  value["msg"] = msg;
  value["errorCode"] = code;
  return styled(value);
}

Json::Value disk(const std::string& device, const std::string& model, std::int64_t size,
                 const std::vector<std::vector<std::string>>& partitions) {
  Json::Value value;
  value["Device"] = device;
  value["Model"] = model;
  value["Size"] = std::to_string(size);
  for (const auto& part : partitions) {
    Json::Value entry;
    entry["name"] = part.at(0);
    entry["FsType"] = part.at(1);
    entry["size"] = part.at(2);
    entry["MOUNTPOINT"] = part.at(3);
    entry["used_size"] = "";
    value["partitions"].append(entry);
  }
  return value;
}

Json::Value sourceDisk(const std::string& number, std::int64_t size,
                       const std::vector<std::string>& images) {
  Json::Value value;
  value["Name"] = "Disk " + number;
  value["Size"] = static_cast<Json::Int64>(size);
  value["Drives"] = Json::arrayValue;
  for (const auto& image : images) {
    value["Drives"].append(image);
  }
  return value;
}

std::string fittingReport(const std::vector<Json::Value>& targets,
                          const std::vector<Json::Value>& sources) {
  Json::Value value;
  value["op"] = "-i";
  value["error"] = "0";
  for (const auto& target : targets) {
    value["TargetDrives"].append(target);
  }
  for (const auto& source : sources) {
    value["SourceDisk"].append(source);
  }
  return styled(value);
}

void ScriptedAgent::on(const std::string& op, std::vector<std::string> replies) {
  reactions_.push_back({op, std::move(replies)});
}

bool ScriptedAgent::send(const std::string& text) {
  if (closed_) {
    return false;
  }
  const auto request = parseReply(text);
  EXPECT_TRUE(request.has_value()) << "restorectl sent text that is not a JSON object: " << text;
  sentTexts_.push_back(text);
  sent_.push_back(request ? request->body : Json::Value());
  const std::string op = request ? request->op : "";
  for (auto& reaction : reactions_) {
    if (!reaction.used && reaction.op == op) {
      reaction.used = true;
      incoming_.insert(incoming_.end(), reaction.replies.begin(), reaction.replies.end());
      break;
    }
  }
  return true;
}

Incoming ScriptedAgent::receive(std::chrono::milliseconds timeout) {
  while (!incoming_.empty() && !closed_) {
    std::string text = incoming_.front();
    incoming_.pop_front();
    if (text == kCloseConnection) {
      closed_ = true;
      break;
    }
    if (text == kPressCtrlC) {
      if (pressCtrlC_) {
        pressCtrlC_();
      }
      continue;
    }
    return {Incoming::Kind::Message, text};
  }
  if (closed_) {
    return {Incoming::Kind::Closed, closeReason()};
  }
  clock_.advance(timeout);
  return {Incoming::Kind::TimedOut, ""};
}

std::vector<std::string> ScriptedAgent::sentOps() const {
  std::vector<std::string> ops;
  for (const auto& request : sent_) {
    ops.push_back(request["op"].asString());
  }
  return ops;
}

std::optional<std::string> ScriptedConsole::askPassword(const std::string&) {
  ++passwordPrompts;
  if (passwords.empty()) {
    ADD_FAILURE() << "unexpected password prompt";
    return std::nullopt;
  }
  auto answer = passwords.front();
  passwords.pop_front();
  return answer;
}

bool ScriptedConsole::confirm(const std::string&) {
  ++confirmations;
  return confirmAnswer;
}

bool ScriptedConsole::interrupted() {
  const bool pressed = pending_;
  pending_ = false;
  return pressed;
}

Harness::Harness() {
  settings.now = [this] { return clock.now(); };
  agent.onCtrlC([this] { console.pressCtrlC(); });
}

Driver Harness::driver() { return Driver(agent, console, out, err, settings); }

}  // namespace restorectl::testing
