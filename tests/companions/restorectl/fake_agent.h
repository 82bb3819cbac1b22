#pragma once
// A scripted stand-in for the agent's endpoint and a scripted console, so the
// command flows run without a network, a terminal or a clock.
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <json/value.h>

#include "console.h"
#include "driver.h"
#include "transport.h"

namespace restorectl::testing {

class FakeClock {
public:
  Clock::time_point now() const { return now_; }
  void advance(std::chrono::milliseconds by) { now_ += by; }

private:
  Clock::time_point now_{};
};

// Texts the agent would send, in its styled JSON form.
std::string styled(const Json::Value& value);
std::string authMessage(const std::string& msg);
std::string clientList(const std::vector<std::string>& names);
// Images as {letter, backupdate, path} triples.
std::string imageList(const std::vector<std::vector<std::string>>& images);
std::string progressMessage(const std::map<std::string, std::string>& table);
std::string errorMessage(const std::string& msg, const std::string& code);
// A disk inventory entry: device, model, size in bytes, partitions
// ({name, FsType, size, MOUNTPOINT}).
Json::Value disk(const std::string& device, const std::string& model, std::int64_t size,
                 const std::vector<std::vector<std::string>>& partitions = {});
// A source disk of an "-i" report.
Json::Value sourceDisk(const std::string& number, std::int64_t size,
                       const std::vector<std::string>& images);
std::string fittingReport(const std::vector<Json::Value>& targets,
                          const std::vector<Json::Value>& sources);

// Replies that stand for something other than a message.
inline const std::string kCloseConnection = "@close";
inline const std::string kPressCtrlC = "@ctrl-c";

class ScriptedAgent final : public Transport {
public:
  explicit ScriptedAgent(FakeClock& clock) : clock_(clock) {}

  // Waiting before anything is sent: left over from an earlier session.
  void leftOver(const std::string& text) { incoming_.push_back(text); }
  // The next request with this "op" is answered with `replies`, in order.
  // Requests without a matching reaction get no answer at all.
  void on(const std::string& op, std::vector<std::string> replies);
  void onCtrlC(std::function<void()> press) { pressCtrlC_ = std::move(press); }

  bool send(const std::string& text) override;
  Incoming receive(std::chrono::milliseconds timeout) override;
  std::string closeReason() const override { return closed_ ? "the agent closed the connection" : ""; }

  // The "op" of every request sent, in order, and the requests themselves.
  std::vector<std::string> sentOps() const;
  const std::vector<Json::Value>& sent() const { return sent_; }
  const std::vector<std::string>& sentTexts() const { return sentTexts_; }

private:
  struct Reaction {
    std::string op;
    std::vector<std::string> replies;
    bool used = false;
  };
  FakeClock& clock_;
  std::deque<std::string> incoming_;
  std::vector<Reaction> reactions_;
  std::vector<Json::Value> sent_;
  std::vector<std::string> sentTexts_;
  std::function<void()> pressCtrlC_;
  bool closed_ = false;
};

class ScriptedConsole final : public Console {
public:
  // Answers to password prompts, in order; nullopt stands for "no terminal".
  std::deque<std::optional<std::string>> passwords;
  bool confirmAnswer = true;
  int passwordPrompts = 0;
  int confirmations = 0;

  std::optional<std::string> askPassword(const std::string& prompt) override;
  bool confirm(const std::string& question) override;
  bool interrupted() override;
  void pressCtrlC() { pending_ = true; }

private:
  bool pending_ = false;
};

// A driver wired to a scripted agent and console, with output captured.
struct Harness {
  FakeClock clock;
  ScriptedAgent agent{clock};
  ScriptedConsole console;
  std::ostringstream out;
  std::ostringstream err;
  Settings settings;

  Harness();
  Driver driver();
};

}  // namespace restorectl::testing
