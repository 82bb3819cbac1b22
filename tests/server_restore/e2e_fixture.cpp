#include "server_restore/e2e_fixture.h"

#include <json/reader.h>

#include "support/file.h"

using namespace std::chrono_literals;

namespace {

const std::string kServicePassword = "service-secret";

std::filesystem::path restoreToolBinary() {
  return std::filesystem::path(RESTORE_AGENT_BINARY_DIR) / "companions" / "restore-tool" / "keelbackrestoreclient";
}

// The disk report sizes source disks on a loop device of its own over the
// scratch file "temp"; a test that ends early must not leave it attached.
void detachScratchLoops(const std::filesystem::path& scratch) {
  const RigRun listed = runProgram({"losetup", "-n", "-O", "NAME", "-j", scratch.string()});
  std::istringstream lines(listed.output);
  std::string device;
  while (lines >> device) {
    if (device.rfind("/dev/loop", 0) == 0) {
      runProgram({"losetup", "-d", device});
    }
  }
}

}  // namespace

void ServerRestoreEndToEnd::SetUp() {
  SKIP_WITHOUT_RIG();
  std::filesystem::create_symlink(restoreToolBinary(), work_.path() / "keelbackrestoreclient");
  std::filesystem::copy_file(Rig::binDir() / "get_ip.sh", work_.path() / "get_ip.sh");
  writeServicePassword(work_.path(), kServicePassword);
  const BackupServiceRun init = runBackupService({"init", "--store", store_.path().string()});
  ASSERT_EQ(init.status, 0) << init.errors;
}

void ServerRestoreEndToEnd::TearDown() {
  client_.close();
  agent_.reset();
  service_.reset();
  detachScratchLoops(work_.path() / "temp");
  rig_.reset();
}

void ServerRestoreEndToEnd::makeRig(std::vector<RigDiskSpec> disks) { rig_ = std::make_unique<Rig>(std::move(disks)); }

int ServerRestoreEndToEnd::capture(const std::string& disk, int partition, const std::string& letter, int64_t time,
                                   int associatedTo, int deviceNumber) {
  std::vector<std::string> args{"capture", "--store", store_.path().string(), "--client", "pc1",
                                "--disk", rig_->device(disk), "--partition", std::to_string(partition),
                                "--letter", letter, "--time", std::to_string(time),
                                "--device-number", std::to_string(deviceNumber)};
  if (associatedTo != 0) {
    args.insert(args.end(), {"--associated-to", std::to_string(associatedTo)});
  }
  const BackupServiceRun run = runBackupService(args);
  if (run.status != 0) {
    throw std::runtime_error("capture failed: " + run.errors);
  }
  return std::stoi(run.output);
}

void ServerRestoreEndToEnd::startService(std::vector<std::string> arguments) {
  BackupServiceOptions options;
  options.store = store_.path();
  options.workingDirectory = work_.path();
  options.arguments = std::move(arguments);
  service_ = std::make_unique<BackupServiceProcess>(options);
}

void ServerRestoreEndToEnd::startSession() {
  AgentOptions options;
  options.workingDirectory = work_.path();
  options.pathPrefix = Rig::binDir().string();
  options.environment["RIG_STATE"] = rig_ ? rig_->state().string() : work_.path().string();
  agent_ = std::make_unique<AgentProcess>(options);
  ASSERT_TRUE(client_.connect("127.0.0.1", AgentProcess::port, "/backend", 5s)) << client_.lastError();
  send(R"({"op": "init", "mode": "BMR_SERVER"})");
}

void ServerRestoreEndToEnd::send(const std::string& text) {
  ASSERT_TRUE(client_.sendText(text)) << client_.lastError();
}

Json::Value ServerRestoreEndToEnd::receive(std::chrono::seconds timeout) {
  const std::optional<std::string> text = client_.receiveText(timeout);
  if (!text) {
    ADD_FAILURE() << "no message from the agent; its log:\n" << (agent_ ? agent_->log() : std::string());
    return Json::Value();
  }
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(*text, value)) << *text;
  return value;
}

Json::Value ServerRestoreEndToEnd::receiveOp(const std::string& op, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
    const Json::Value message = receive(std::max(left, 1s));
    if (message.isNull() || message["op"].asString() == op) {
      return message;
    }
  }
  ADD_FAILURE() << "no \"" << op << "\" message";
  return Json::Value();
}

bool ServerRestoreEndToEnd::silentFor(std::chrono::seconds wait) {
  const std::optional<std::string> text = client_.receiveText(wait);
  if (text) {
    ADD_FAILURE() << "unexpected message: " << *text;
  }
  return !text;
}

Json::Value ServerRestoreEndToEnd::loginAndListImages(const std::string& client) {
  startSession();
  const Json::Value success = receive();
  EXPECT_EQ(success["op"].asString(), "auth");
  EXPECT_EQ(success["msg"].asString(), "login_success");
  const Json::Value clients = receive();
  EXPECT_EQ(clients["op"].asString(), "-u");
  EXPECT_EQ(clients["Result"][0].asString(), client);
  send(R"({"op": "-e", "args": [")" + client + R"("]})");
  const Json::Value images = receive();
  EXPECT_EQ(images["op"].asString(), "-e");
  return images;
}

std::vector<Json::Value> ServerRestoreEndToEnd::followRestore(const std::vector<std::string>& keys,
                                                              std::chrono::seconds timeout) {
  std::vector<Json::Value> messages;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::optional<std::string> text = client_.receiveText(5s);
    if (!text) {
      continue;
    }
    Json::Value message;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(*text, message)) << *text;
    messages.push_back(message);
    if (message["op"].asString() != "-p") {
      return messages;
    }
    bool allDone = true;
    for (const std::string& key : keys) {
      const std::string status = statusOf(message, key);
      if (status == "ERROR") {
        return messages;
      }
      allDone = allDone && status == "SUCCESS";
    }
    if (allDone) {
      return messages;
    }
  }
  ADD_FAILURE() << "the restore did not finish in time; agent log:\n" << agent_->log();
  return messages;
}

std::optional<long long> firstDifference(const std::string& a, const std::string& b, long long offset,
                                         long long length) {
  File fa;
  File fb;
  if (!fa.Open(a, 0) || !fb.Open(b, 0)) {
    ADD_FAILURE() << "cannot open " << a << " or " << b;
    return offset;
  }
  constexpr unsigned int chunk = 1 << 20;
  for (long long at = offset; at < offset + length; at += chunk) {
    const unsigned int count = static_cast<unsigned int>(std::min<long long>(chunk, offset + length - at));
    const std::string ba = fa.Read(at, count);
    const std::string bb = fb.Read(at, count);
    if (ba != bb) {
      for (size_t i = 0; i < std::min(ba.size(), bb.size()); ++i) {
        if (ba[i] != bb[i]) {
          return at + static_cast<long long>(i);
        }
      }
      return at + static_cast<long long>(std::min(ba.size(), bb.size()));
    }
  }
  return std::nullopt;
}

long long deviceSize(const std::string& path) {
  File file;
  return file.Open(path, 0) ? file.Size() : -1;
}

std::string statusOf(const Json::Value& progress, const std::string& key) {
  const Json::Value& table = progress["progress"];
  return table.isObject() && table[key].isString() ? table[key].asString() : std::string();
}
