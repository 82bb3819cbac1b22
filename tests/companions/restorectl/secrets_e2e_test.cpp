// restorectl as a process against the real agent and backup service: while it
// runs, no process on this machine shows the service password, the login
// password or the agent's token in its command line or its environment, and
// no child of the agent holds the agent's token.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/agent_process.h"
#include "common/backup_service_process.h"
#include "common/temp_dir.h"
#include "rig/rig_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string randomSecret(const std::string& prefix) {
  std::random_device random;
  std::string text = prefix;
  for (int i = 0; i < 24; ++i) {
    text += "0123456789abcdef"[random() % 16];
  }
  return text;
}

std::string readProcFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream read;
  read << in.rdbuf();
  return read.str();
}

// The parent of `pid` from /proc/PID/stat; 0 when it is gone. The command
// name in parentheses may hold blanks and parentheses itself.
int parentOf(const fs::path& processDir) {
  const std::string stat = readProcFile(processDir / "stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) {
    return 0;
  }
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  int parent = 0;
  fields >> state >> parent;
  return parent;
}

struct Secret {
  std::string what;
  std::string text;
};

// Looks at every process over and over until stopped.
class ProcessWatch {
public:
  ProcessWatch(std::vector<Secret> secrets, int agent, std::string restorectl)
      : secrets_(std::move(secrets)), agent_(agent), restorectl_(std::move(restorectl)),
        thread_([this] { run(); }) {}
  ~ProcessWatch() { stop(); }
  ProcessWatch(const ProcessWatch&) = delete;
  ProcessWatch& operator=(const ProcessWatch&) = delete;

  void stop() {
    stopping_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  // Read only after stop().
  std::set<std::string> findings;
  std::set<int> restorectlSeen;
  std::set<std::string> agentChildrenSeen;

private:
  void run() {
    while (!stopping_) {
      look();
      std::this_thread::sleep_for(5ms);
    }
  }

  void look() {
    std::map<int, int> parents;
    std::map<int, std::pair<std::string, std::string>> seen;  // pid -> cmdline, environ
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) {
        continue;
      }
      const int pid = std::stoi(name);
      parents[pid] = parentOf(entry.path());
      seen[pid] = {readProcFile(entry.path() / "cmdline"), readProcFile(entry.path() / "environ")};
    }
    for (const auto& [pid, texts] : seen) {
      const auto& [cmdline, environment] = texts;
      std::string shown = cmdline;
      std::replace(shown.begin(), shown.end(), '\0', ' ');
      for (const Secret& secret : secrets_) {
        if (cmdline.find(secret.text) != std::string::npos) {
          findings.insert("the command line of " + std::to_string(pid) + " (" + shown + ") holds the " + secret.what);
        }
        // The agent was started with its token in its environment, as an
        // operator may; /proc keeps showing the environment a process began
        // with. What matters is that it hands the token to nobody.
        if (environment.find(secret.text) != std::string::npos && pid != agent_) {
          findings.insert("the environment of " + std::to_string(pid) + " (" + shown + ") holds the " + secret.what);
        }
      }
      if (cmdline.find(restorectl_) != std::string::npos) {
        restorectlSeen.insert(pid);
      }
      if (pid != agent_ && descendsFrom(pid, parents)) {
        agentChildrenSeen.insert(shown);
        if (("\0" + environment).find(std::string("\0RESTORE_AGENT_TOKEN=", 21)) != std::string::npos) {
          findings.insert("the agent's child " + std::to_string(pid) + " (" + shown + ") has RESTORE_AGENT_TOKEN");
        }
      }
    }
  }

  bool descendsFrom(int pid, const std::map<int, int>& parents) const {
    for (int step = 0; step < 64 && pid > 1; ++step) {
      if (pid == agent_) {
        return true;
      }
      const auto parent = parents.find(pid);
      if (parent == parents.end()) {
        return false;
      }
      pid = parent->second;
    }
    return false;
  }

  const std::vector<Secret> secrets_;
  const int agent_;
  const std::string restorectl_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

class RestorectlSecrets : public ::testing::Test {
protected:
  void SetUp() override {
    writeServicePassword(work_.path(), servicePassword_);
    const fs::path store = work_.path() / "store";
    const fs::path loginFile = work_.write("login-password", loginPassword_ + "\n");
    const BackupServiceRun added = runBackupService(
        {"adduser", "--store", store.string(), "--user", "admin", "--password-file", loginFile.string()});
    ASSERT_EQ(added.status, 0) << added.errors;
    fs::create_directories(store / "clients/pc1");
    BackupServiceOptions serviceOptions;
    serviceOptions.store = store;
    serviceOptions.workingDirectory = work_.path();
    service_ = std::make_unique<BackupServiceProcess>(serviceOptions);

    // The network script takes a moment, so that the watch sees the agent's
    // children while they run.
    const fs::path script = work_.write("get_ip.sh",
                                        "#!/bin/sh\nsleep 1\n"
                                        "echo '{\"interface\": \"eth0\", \"ip\": \"192.0.2.10\"}'\n");
    fs::permissions(script, fs::perms::owner_all);
    AgentOptions options;
    options.workingDirectory = work_.path();
    options.pathPrefix = Rig::binDir().string();
    // Every peer, loopback included, then needs the token: a restorectl
    // that did not read its file would be turned away.
    options.environment = {{"RESTORE_AGENT_TOKEN", token_}};
    agent_ = std::make_unique<AgentProcess>(options);
  }

  RigRun restorectl(const std::vector<std::string>& arguments, const std::string& input = "") {
    std::vector<std::string> argv{RESTORECTL_BINARY, "--timeout", "60"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, input);
  }

  TempDir work_;
  const std::string servicePassword_ = randomSecret("service-");
  const std::string loginPassword_ = randomSecret("login-");
  const std::string token_ = randomSecret("token-");
  std::unique_ptr<BackupServiceProcess> service_;
  std::unique_ptr<AgentProcess> agent_;
};

TEST_F(RestorectlSecrets, PsNeverShowsAPasswordOrTheTokenAndTheAgentsChildrenLackTheToken) {
  const fs::path tokenFile = work_.write("token", token_ + "\n");
  const fs::path loginFile = work_.write("typed-password", loginPassword_ + "\n");
  ProcessWatch watch({{"service password", servicePassword_}, {"login password", loginPassword_},
                      {"access token", token_}},
                     agent_->pid(), RESTORECTL_BINARY);

  const RigRun clients = restorectl({"--token-file", tokenFile.string(), "--password-file", "-", "server", "clients"},
                                    loginPassword_ + "\n");
  const RigRun network = restorectl({"--token-file", "-", "--password-file", loginFile.string(), "network"},
                                    token_ + "\n");
  watch.stop();

  // Each secret did its work: the token let restorectl in, the password
  // logged in to the service.
  EXPECT_EQ(clients.status, 0) << clients.output << agent_->log();
  EXPECT_NE(clients.output.find("pc1"), std::string::npos) << clients.output;
  EXPECT_EQ(network.status, 0) << network.output << agent_->log();
  EXPECT_NE(network.output.find("192.0.2.10"), std::string::npos) << network.output;
  EXPECT_EQ(clients.output.find("warning"), std::string::npos) << clients.output;

  EXPECT_GE(watch.restorectlSeen.size(), 2u) << "the watch must have seen both runs";
  bool sawScript = false;
  for (const std::string& child : watch.agentChildrenSeen) {
    sawScript = sawScript || child.find("get_ip.sh") != std::string::npos;
  }
  EXPECT_TRUE(sawScript) << "the watch must have seen the agent's network script";
  for (const std::string& finding : watch.findings) {
    ADD_FAILURE() << finding;
  }
}

}  // namespace
