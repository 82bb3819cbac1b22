// One server restore watched and poked from several connections at once, as
// people do with a second tab, a phone or a reload: nothing of that may stop
// the restore, drive it from elsewhere or reboot under it. One restore serves
// every check, as each costs the agent's fixed pauses. It has two drives: the
// pause after the first one keeps the run going while the checks are made.
#include "server_restore/e2e_fixture.h"

#include <json/reader.h>

#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr int64_t kTime = 1500000000;

Json::Value parsed(const std::optional<std::string>& text) {
  Json::Value value;
  if (text) {
    Json::Reader().parse(*text, value);
  }
  return value;
}

// Messages of `client` are skipped until one with this "op" arrives; null
// when none does in time.
Json::Value nextOp(WsClient& client, const std::string& op, std::chrono::seconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const Json::Value message = parsed(client.receiveText(1s));
    if (message["op"].asString() == op) {
      return message;
    }
  }
  return Json::Value();
}

std::string sha256Of(const std::string& device) {
  const RigRun run = runProgram({"sha256sum", device});
  EXPECT_EQ(run.status, 0) << run.output;
  return run.output.substr(0, 64);
}

class ManyViews : public ServerRestoreEndToEnd {
protected:
  void connect(WsClient& client) {
    ASSERT_TRUE(client.connect("127.0.0.1", AgentProcess::port, "/backend", 5s)) << client.lastError();
  }
};

TEST_F(ManyViews, ARestoreEndsOnlyByItselfWhateverOtherConnectionsSend) {
  makeRig({{"source", "usb", "48M"}, {"target", "internal", "48M"}});
  rig_->partition("source", "label: dos\nsize=16M, type=83\nsize=16M, type=83\n");
  for (int n : {1, 2}) {
    rig_->mkfs("source", n, "ext4");
    rig_->fill("source", n);
  }
  capture("source", 1, "C", kTime);
  capture("source", 2, "D", kTime);
  startService();

  const Json::Value images = loginAndListImages("pc1");
  ASSERT_EQ(images["Result"].size(), 2u);
  Json::Value keys(Json::arrayValue);
  for (const Json::Value& image : images["Result"]) {
    keys.append(image["path"]);
  }
  Json::Value select;
  select["op"] = "-i";
  select["args"] = keys;
  send(select.toStyledString());
  ASSERT_EQ(receive(60s)["error"].asString(), "0");

  const std::string target = rig_->device("target");
  Json::Value request;
  request["op"] = "-r";
  request["restorepoints"][0]["out"] = target;
  request["restorepoints"][0]["in"] = keys;
  const std::string restore = request.toStyledString();

  // B did not start the session: its "-r" must not write a byte.
  WsClient b;
  connect(b);
  const std::string untouched = sha256Of(target);
  ASSERT_TRUE(b.sendText(restore));
  ASSERT_TRUE(agent_->waitForLog("Refusing a message from connection", 10s)) << agent_->log();
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(sha256Of(target), untouched) << "a foreign connection restored onto the disk";

  send(restore);
  ASSERT_FALSE(receiveOp("-p", 60s).isNull());
  EXPECT_FALSE(nextOp(b, "-p").isNull()) << "progress reached only the connection that started the restore";

  // B's "init" mid-restore waits its turn and says why.
  ASSERT_TRUE(b.sendText(R"({"op": "init", "mode": "BMR_SERVER"})"));
  const Json::Value busy = nextOp(b, "busy");
  EXPECT_EQ(busy["msg"].asString(), "restore_running") << agent_->log();
  EXPECT_FALSE(nextOp(b, "-p").isNull());

  ASSERT_TRUE(b.sendText(R"({"op": "reboot"})"));
  EXPECT_EQ(nextOp(b, "reboot")["msg"].asString(), "restore_running");
  EXPECT_TRUE(rig_->calls().empty()) << "rebooted under a running restore";
  // Said plainly, it is carried out (the stand-in only records it).
  ASSERT_TRUE(b.sendText(R"({"op": "reboot", "force": true})"));
  const auto rebooted = std::chrono::steady_clock::now() + 10s;
  while (rig_->calls().empty() && std::chrono::steady_clock::now() < rebooted) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(rig_->calls(), std::vector<std::string>{"reboot"});

  WsClient c1;
  connect(c1);
  EXPECT_EQ(parsed(c1.receiveText(5s))["op"].asString(), "-p") << "a late view is not shown the running restore";

  // The connection that started it leaves; the restore goes on.
  client_.close();
  const auto deadline = std::chrono::steady_clock::now() + 180s;
  Json::Value last;
  const auto ended = [&] {
    for (const char* key : {"C", "D"}) {
      if (statusOf(last, key) == "ERROR") return true;
      if (statusOf(last, key) != "SUCCESS") return false;
    }
    return true;
  };
  while (!ended() && std::chrono::steady_clock::now() < deadline) {
    const Json::Value progress = nextOp(b, "-p", 10s);
    last = progress.isNull() ? last : progress;
  }
  ASSERT_EQ(statusOf(last, "C"), "SUCCESS") << agent_->log();
  ASSERT_EQ(statusOf(last, "D"), "SUCCESS") << agent_->log();
  EXPECT_EQ(agent_->countInLog("cancelrestore is set"), 0u);

  for (int n : {1, 2}) {
    const long long size = deviceSize(rig_->partition("source", n));
    ASSERT_GT(size, 0);
    EXPECT_FALSE(firstDifference(rig_->partition("source", n), rig_->partition("target", n), 0, size)) << n;
  }

  WsClient d;
  connect(d);
  EXPECT_EQ(statusOf(parsed(d.receiveText(5s)), "D"), "SUCCESS") << "a view opened after the end misses the outcome";

  // The waiting session starts now, and its sender is the one it answers.
  EXPECT_EQ(nextOp(b, "auth", 30s)["msg"].asString(), "login_success") << agent_->log();
}

}  // namespace
