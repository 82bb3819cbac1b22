// The real agent under abuse on its WebSocket endpoint: thousands of
// malformed messages over thirty connections at once, frames that break the
// protocol or announce more than the size limit, connections dropped in the
// middle of a frame or of the handshake, handshakes that never finish. Run
// while idle, with external sessions taking the messages, and with a server
// session that cannot log in. Afterwards the agent still answers, has run no
// machine operation, and a second round of the same abuse leaves its memory
// where the first left it.
//
// The agent finds the rig's stand-ins first on its PATH with an empty rig, so
// lsblk lists no disk and reboot or shutdown would only be recorded; ahead of
// them, stand-ins that record and refuse every tool that attaches, partitions
// or mounts a disk. Its working directory holds no restore tool and no backup
// service runs.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/agent_process.h"
#include "common/temp_dir.h"
#include "common/ws_client.h"
#include "hardening/malformed_messages.h"
#include "hardening/raw_websocket.h"
#include "rig/rig_fixture.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSizeLimit = size_t{1} << 20;
// Below the agent's limit of 32 open connections, with room for the reply
// reader.
constexpr size_t kConnections = 30;

const char* const kFailureLines[] = {
    "unexpected failure",
    "Request failed",
    "Restore from BMR server stopped",
    "Error: the operation failed",
    "Error: the response pump failed",
};

Json::Value parse(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  if (!reader.parse(text, value)) return Json::Value();
  return value;
}

// Counts the occurrences of fixed texts in the agent's log as it grows,
// reading each byte once (the log holds every message, megabytes per round).
class LogWatch {
public:
  LogWatch(fs::path file, std::vector<std::string> patterns) : file_(std::move(file)) {
    for (std::string& pattern : patterns) {
      longest_ = std::max(longest_, pattern.size());
      counts_.emplace(std::move(pattern), 0);
    }
  }

  size_t count(const std::string& pattern) {
    update();
    const auto found = counts_.find(pattern);
    if (found == counts_.end()) {
      ADD_FAILURE() << "not watched: " << pattern;
      return 0;
    }
    return found->second;
  }
  bool waitFor(const std::string& pattern, size_t atLeast, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (count(pattern) < atLeast) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

private:
  void update() {
    std::ifstream in(file_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    std::ostringstream fresh;
    fresh << in.rdbuf();
    const std::string added = fresh.str();
    if (added.empty()) return;
    offset_ += added.size();
    // A match that lies wholly in the bytes carried over from the last read
    // was counted then; one that reaches into the new bytes was not.
    const std::string text = carry_ + added;
    for (auto& [pattern, n] : counts_) {
      for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) {
        if (at + pattern.size() > carry_.size()) ++n;
      }
    }
    carry_ = text.substr(text.size() - std::min(text.size(), longest_ - 1));
  }

  fs::path file_;
  size_t offset_ = 0;
  size_t longest_ = 1;
  std::string carry_;
  std::map<std::string, size_t> counts_;
};

// A reply of `client`'s own session: the agent answers a session on the
// connection that started it.
bool receivedOn(WsClient& client, const std::function<bool(const Json::Value&)>& match,
                std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::optional<std::string> text = client.receiveText(1s);
    if (text && match(parse(*text))) return true;
  }
  return false;
}

// The first connection of the test, read on a thread of its own: the agent
// sends every reply without a session of its own connection to the oldest
// one, and an unread connection would make it hold the replies in memory.
class ReplyReader {
public:
  ReplyReader() {
    connected_ = client_.connect("127.0.0.1", AgentProcess::port, "/backend", 5s);
    if (connected_) thread_ = std::thread([this] { run(); });
  }
  ~ReplyReader() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool connected() const { return connected_; }
  bool open() const { return open_; }

  // Waits for a reply that `match` accepts; replies before it are dropped.
  std::optional<Json::Value> waitFor(const std::function<bool(const Json::Value&)>& match,
                                     std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        while (!replies_.empty()) {
          const Json::Value reply = parse(replies_.front());
          replies_.pop_front();
          if (match(reply)) return reply;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        arrived_.wait_until(lock, deadline);
      }
    }
  }

private:
  void run() {
    while (!stop_) {
      if (auto text = client_.receiveText(100ms)) {
        {
          const std::lock_guard lock(mutex_);
          replies_.push_back(std::move(*text));
        }
        arrived_.notify_all();
      } else if (!client_.isOpen()) {
        open_ = false;
        return;
      }
    }
  }

  WsClient client_;
  bool connected_ = false;
  std::atomic<bool> open_{true};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::string> replies_;
  std::thread thread_;
};

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

// A raw connection with a finished handshake.
std::unique_ptr<RawWebSocket> opened() {
  auto raw = std::make_unique<RawWebSocket>();
  if (!raw->connect(AgentProcess::port) || !raw->handshake()) return nullptr;
  return raw;
}

class WebSocketAbuseTest : public ::testing::Test {
protected:
  void SetUp() override {
    work_ = dir_.path() / "work";
    rigState_ = dir_.path() / "empty-rig";
    fs::create_directories(work_);
    fs::create_directories(rigState_);
    fs::copy_file(Rig::binDir() / "get_ip.sh", work_ / "get_ip.sh");
    // The external session matches operations as substrings of the whole
    // text; folders named in this test must not look like one.
    for (const char* kind : {"-m", "-i", "-u", "-e", "-c", "-r", "start-over"}) {
      ASSERT_EQ(work_.string().find(kind), std::string::npos) << work_;
    }

    // Tools that attach, partition or mount a disk: none may be reached by a
    // malformed message. Recorded and refused, ahead of everything on PATH.
    const fs::path guard = dir_.path() / "disk-tools";
    for (const char* tool : {"losetup", "mount", "umount", "fdisk", "sfdisk", "partprobe", "truncate", "dd",
                             "parted", "wipefs"}) {
      dir_.write("disk-tools/" + std::string(tool),
                 "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> '" + guardedCalls().string() + "'\nexit 1\n");
      fs::permissions(guard / tool, fs::perms::owner_all, fs::perm_options::add);
    }

    AgentOptions options;
    options.workingDirectory = work_;
    options.pathPrefix = guard.string() + ":" + Rig::binDir().string();
    options.environment["RIG_STATE"] = rigState_.string();
    // Under AddressSanitizer freed memory waits in a quarantine of 256 MiB
    // before it is reused, which the memory comparison would take for growth.
    // A smaller one still catches a use right after a free.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.environment["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=16";
    agent_ = std::make_unique<AgentProcess>(options);
    std::vector<std::string> watched(std::begin(kFailureLines), std::end(kFailureLines));
    for (const char* line : {kReceived, kOpened, kServerSession, kExternalSession, kExternalExit, kRestoreOver}) {
      watched.emplace_back(line);
    }
    log_ = std::make_unique<LogWatch>(agent_->logFile(), watched);

    replies_ = std::make_unique<ReplyReader>();
    ASSERT_TRUE(replies_->connected());
    ASSERT_TRUE(log_->waitFor(kOpened, 1, 5s));
  }

  void TearDown() override {
    replies_.reset();
    ASSERT_FALSE(fs::exists(work_ / "keelbackrestoreclient"));
  }

  // Sends `messages` spread over thirty connections that are all open at once,
  // and waits until the agent has taken every one of them.
  void sendOverManyConnections(const std::vector<std::string>& messages) {
    std::vector<std::unique_ptr<WsClient>> clients(kConnections);
    std::vector<std::thread> threads;
    std::atomic<size_t> connected{0};
    std::atomic<size_t> failures{0};
    for (size_t i = 0; i < kConnections; ++i) {
      threads.emplace_back([&, i] {
        clients[i] = std::make_unique<WsClient>();
        if (!clients[i]->connect("127.0.0.1", AgentProcess::port, "/backend", 30s)) {
          ++failures;
          return;
        }
        ++connected;
        // Every sender waits until all thirty are open.
        while (connected + failures < kConnections) std::this_thread::sleep_for(5ms);
        for (size_t m = i; m < messages.size(); m += kConnections) {
          if (!clients[i]->sendText(messages[m], 30s)) ++failures;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0u);
    sent_ += messages.size();
    EXPECT_TRUE(log_->waitFor(kReceived, sent_, 120s))
        << "the agent took " << log_->count(kReceived) << " of " << sent_ << " messages";
    for (auto& client : clients) {
      if (client) client->close();
    }
  }

  // Frames that no client may send, each on its own connection: the agent
  // must end that connection, and only that one.
  void breakTheProtocol() {
    struct Case {
      std::string what;
      std::string bytes;
      std::optional<int> code;
    };
    const std::string half(kSizeLimit / 2, 'a');
    const std::vector<Case> cases = {
        {"binary frame", RawWebSocket::frame(0x2, "{\"op\": \"config_network\"}"), 1003},
        {"text frame announcing 4 GiB", RawWebSocket::header(0x1, uint64_t{1} << 32) + "abc", 1009},
        {"text frame announcing 1 MiB + 1", RawWebSocket::header(0x1, kSizeLimit + 1) + "abc", 1009},
        {"fragments adding up past 1 MiB",
         RawWebSocket::frame(0x1, half, false) + RawWebSocket::frame(0x0, half, false) +
             RawWebSocket::frame(0x0, "tail"),
         1009},
        {"length with the top bit set", RawWebSocket::header(0x1, (uint64_t{1} << 63) + 5), std::nullopt},
        {"continuation without a start", RawWebSocket::frame(0x0, "{}"), std::nullopt},
        {"new message inside a fragmented one",
         RawWebSocket::frame(0x1, "{\"op\":", false) + RawWebSocket::frame(0x1, "\"x\"}"), std::nullopt},
        {"ping of 126 bytes", RawWebSocket::frame(0x9, std::string(126, 'p')), std::nullopt},
        {"fragmented ping", RawWebSocket::frame(0x9, "p", false), std::nullopt},
        {"unmasked frame", RawWebSocket::frame(0x1, "{}", true, false), std::nullopt},
        {"reserved opcode", RawWebSocket::frame(0x3, "{}"), std::nullopt},
        {"reserved bits", RawWebSocket::frame(0x1, "{}", true, true, 0x4), std::nullopt},
        {"text that is not UTF-8", RawWebSocket::frame(0x1, "{\"op\": \"\xff\xfe\"}"), 1007},
        {"close code 999", RawWebSocket::frame(0x8, std::string("\x03\xe7", 2)), std::nullopt},
        {"close frame of one byte", RawWebSocket::frame(0x8, "x"), std::nullopt},
    };
    for (const Case& c : cases) {
      auto raw = opened();
      ASSERT_TRUE(raw) << c.what;
      raw->send(c.bytes);
      EXPECT_TRUE(raw->waitClosedByServer(10s)) << c.what;
      if (c.code) {
        EXPECT_EQ(raw->closeCode(), c.code) << c.what;
      }
    }

    // Pings are answered, not punished, even a thousand unread answers.
    auto pinger = opened();
    ASSERT_TRUE(pinger);
    for (int i = 0; i < 1000; ++i) pinger->send(RawWebSocket::frame(0x9, "ping " + std::to_string(i)));
    EXPECT_FALSE(pinger->waitClosedByServer(500ms));
  }

  // Connections that leave halfway, with a reset or an orderly end, and
  // requests that are no WebSocket upgrade.
  void dropHalfway() {
    const std::string request = RawWebSocket::upgradeRequest("/backend");
    for (int i = 0; i < 20; ++i) {
      RawWebSocket raw;
      ASSERT_TRUE(raw.connect(AgentProcess::port));
      raw.send(request.substr(0, static_cast<size_t>(10 + i * 7)));
      i % 2 == 0 ? raw.reset() : raw.close();
    }
    for (int i = 0; i < 20; ++i) {
      auto raw = opened();
      ASSERT_TRUE(raw);
      const std::string frame = RawWebSocket::frame(0x1, "{\"op\": \"-u\", \"args\": []}");
      // Inside the header, inside the mask key, inside the payload.
      raw->send(frame.substr(0, static_cast<size_t>(1 + i % 3 * 4)));
      i % 2 == 0 ? raw->reset() : raw->close();
    }
    for (int i = 0; i < 10; ++i) {
      auto raw = opened();
      ASSERT_TRUE(raw);
      raw->send(RawWebSocket::header(0x1, 1000) + std::string(500, 'x'));
      i % 2 == 0 ? raw->reset() : raw->close();
    }
    const std::vector<std::string> notUpgrades = {
        "GARBAGE\r\n\r\n",
        "GET /backend HTTP/1.1\r\nHost: x\r\n\r\n",
        "GET /backend HTTP/1.1\r\nHost: x\r\nX-Long: " + std::string(20000, 'h') + "\r\n\r\n",
        "POST /backend HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999\r\n\r\nabc",
        "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",
    };
    for (const std::string& bytes : notUpgrades) {
      RawWebSocket raw;
      ASSERT_TRUE(raw.connect(AgentProcess::port));
      raw.send(bytes);
      EXPECT_TRUE(raw.waitClosedByServer(10s)) << bytes.substr(0, 30);
    }
  }

  // Connections that stop before their handshake is complete and then say
  // nothing: the handshake time-out must end them.
  std::vector<std::unique_ptr<RawWebSocket>> stallHandshakes() {
    std::vector<std::unique_ptr<RawWebSocket>> stalled;
    const std::string request = RawWebSocket::upgradeRequest("/backend");
    for (int i = 0; i < 10; ++i) {
      auto raw = std::make_unique<RawWebSocket>();
      if (!raw->connect(AgentProcess::port)) {
        ADD_FAILURE() << "cannot connect";
        continue;
      }
      if (i % 2 == 1) raw->send(request.substr(0, 40));
      stalled.push_back(std::move(raw));
    }
    return stalled;
  }

  // Lets external sessions take everything still queued: an "init" whenever
  // no session runs, until the answer to a request queued last comes back.
  // Messages sent while no session ran were dropped, and a session takes only
  // what arrives after its own "init": a new session, started after all the
  // abuse, must take and answer a request of its own.
  void drainThroughExternalSessions() {
    const std::string marker = "marker" + std::to_string(++markers_);
    const std::string request = "{\"op\": \"-u\", \"args\": [\"" + (work_ / marker).string() + "\"]}";
    WsClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", AgentProcess::port, "/backend", 10s));
    ASSERT_TRUE(send(client, R"({"op": "init", "mode": "EXTERNAL"})"));
    ASSERT_TRUE(send(client, request));
    EXPECT_TRUE(agent_->waitForLog("Dequed " + request, 150s)) << "the new session never took its request";
    EXPECT_TRUE(receivedOn(client, [](const Json::Value& reply) { return reply["op"] == "-u"; }, 30s));
    client.close();
  }


  void expectStillServing() {
    EXPECT_TRUE(agent_->running());
    EXPECT_TRUE(replies_->open()) << "the agent closed the first connection";
    WsClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", AgentProcess::port, "/backend", 10s));
    ASSERT_TRUE(send(client, R"({"op": "config_network"})"));
    const auto answer =
        replies_->waitFor([](const Json::Value& reply) { return reply["op"] == "config_network"; }, 30s);
    ASSERT_TRUE(answer) << "no answer to config_network";
    EXPECT_EQ((*answer)["Result"]["interface"], "eth0");
    client.close();

    for (const char* line : kFailureLines) EXPECT_EQ(log_->count(line), 0u) << line;
    for (const fs::path& calls : {rigState_ / "calls", guardedCalls()}) {
      if (fs::exists(calls)) {
        std::ifstream in(calls);
        std::ostringstream text;
        text << in.rdbuf();
        ADD_FAILURE() << "a malformed message ran: " << text.str();
      }
    }
  }

  std::vector<std::string> messageAbuse() {
    std::vector<std::string> messages = notJson(2000, 12209);
    for (std::string& m : wrongMemberTypes()) messages.push_back(std::move(m));
    for (std::string& m : deeplyNested()) messages.push_back(std::move(m));
    for (std::string& m : nearSizeLimit(kSizeLimit - 64)) messages.push_back(std::move(m));
    return messages;
  }

  fs::path guardedCalls() const { return dir_.path() / "disk-tool-calls"; }

  // Every text message sent counts here; the agent logs each one it takes.
  bool send(WsClient& client, const std::string& text) {
    ++sent_;
    return client.sendText(text, 30s);
  }

  static constexpr const char* kReceived = "Server: Message received: \"";
  static constexpr const char* kOpened = "Server: Opened connection";
  static constexpr const char* kServerSession = "Restoring from BMR Server";
  static constexpr const char* kExternalSession = "Restoring from External Server";
  static constexpr const char* kExternalExit = "RestoreFromExternalDrive exiting...";
  static constexpr const char* kRestoreOver = "Restore over ";

  TempDir dir_;
  fs::path work_;
  fs::path rigState_;
  std::unique_ptr<AgentProcess> agent_;
  std::unique_ptr<LogWatch> log_;
  std::unique_ptr<ReplyReader> replies_;
  size_t sent_ = 0;
  int markers_ = 0;
};

TEST_F(WebSocketAbuseTest, IdleAndExternalSessionsSurviveAndASecondRoundAddsNoMemory) {
  const std::vector<std::string> messages = messageAbuse();
  const std::vector<std::string> starts = sessionStartsOfWrongMode();
  std::vector<long> resident;

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto stalled = stallHandshakes();
    // No session takes these in the first round: none runs, and they are
    // dropped.
    sendOverManyConnections(messages);
    breakTheProtocol();
    dropHalfway();
    // Sessions of every wrong mode start while the messages above wait.
    sendOverManyConnections(starts);
    drainThroughExternalSessions();
    for (auto& raw : stalled) EXPECT_TRUE(raw->waitClosedByServer(15s)) << "a stalled handshake was kept";
    expectStillServing();
    resident.push_back(residentKiB(agent_->pid()));
  }

  EXPECT_EQ(log_->count(kServerSession), 0u) << "a mode that is not BMR_SERVER started a server session";
  EXPECT_GT(log_->count(kExternalSession), 2 * starts.size());
  ASSERT_GT(resident[0], 0);
  std::cout << "agent resident memory after round 1: " << resident[0] / 1024 << " MiB, after round 2: "
            << resident[1] / 1024 << " MiB\n";
  EXPECT_LT(resident[1] - resident[0], 64 * 1024) << "the second round grew the agent by more than 64 MiB";
}

TEST_F(WebSocketAbuseTest, AServerSessionThatCannotLogInSurvivesMalformedMessages) {
  WsClient client;
  ASSERT_TRUE(client.connect("127.0.0.1", AgentProcess::port, "/backend", 10s));
  ASSERT_TRUE(send(client, R"({"op": "init", "mode": "BMR_SERVER"})"));
  ASSERT_TRUE(log_->waitFor(kServerSession, 1, 10s));
  const auto notFound = [](const Json::Value& reply) {
    return reply["op"] == "auth" && reply["msg"] == "user_not_found";
  };
  ASSERT_TRUE(receivedOn(client, notFound, 10s)) << "the session does not report the missing service";
  client.close();

  sendOverManyConnections(messageAbuse());
  breakTheProtocol();
  dropHalfway();

  expectStillServing();
  // The session is still there, still looking for its service.
  EXPECT_TRUE(replies_->waitFor(notFound, 10s));
}

}  // namespace
