// More connections than the agent has descriptors for. The accepts that fail
// meanwhile must not turn into a busy loop (every retry fails at once while
// the pending connection waits in the backlog), and once descriptors are free
// again the agent must accept and answer as before.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/agent_process.h"
#include "common/temp_dir.h"
#include "common/ws_client.h"
#include "hardening/raw_websocket.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

size_t countIn(const std::string& text, const std::string& pattern) {
  size_t count = 0;
  for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) ++count;
  return count;
}

// Processor time of a process in clock ticks (user and system).
long cpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stol(field);
  }
  return ticks;
}

TEST(DescriptorExhaustion, FailedAcceptsDoNotSpinAndServiceResumes) {
  TempDir dir;
  const fs::path work = dir.path() / "work";
  fs::create_directories(work);
  dir.write("work/get_ip.sh", "#!/bin/sh\necho '{\"interface\": \"eth0\"}'\n");
  fs::permissions(work / "get_ip.sh", fs::perms::owner_all, fs::perm_options::add);

  // The agent inherits a limit of 64 descriptors.
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &previous), 0);
  rlimit low = previous;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::unique_ptr<AgentProcess> agent;
  try {
    AgentOptions options;
    options.workingDirectory = work;
    agent = std::make_unique<AgentProcess>(options);
  } catch (...) {
    setrlimit(RLIMIT_NOFILE, &previous);
    throw;
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &previous), 0);

  WsClient first;
  ASSERT_TRUE(first.connect("127.0.0.1", AgentProcess::port, "/backend", 5s));
  {
    std::vector<std::unique_ptr<RawWebSocket>> flood;
    for (int i = 0; i < 100; ++i) {
      auto raw = std::make_unique<RawWebSocket>();
      if (raw->connect(AgentProcess::port)) flood.push_back(std::move(raw));
    }
    std::this_thread::sleep_for(500ms);
    const long before = cpuTicks(agent->pid());
    std::this_thread::sleep_for(2s);
    const long busy = cpuTicks(agent->pid()) - before;
    // Ticks are hundredths of a second: a busy loop would take about 200.
    EXPECT_LT(busy, 50) << "the agent spun while it had no descriptor left";
    EXPECT_LT(countIn(agent->log(), "Server: accept"), 100u) << "failed accepts flooded the log";
  }

  // The flood is gone; the handshake time-out ends what the agent accepted.
  WsClient later;
  ASSERT_TRUE(later.connect("127.0.0.1", AgentProcess::port, "/backend", 20s)) << later.lastError();
  ASSERT_TRUE(later.sendText(R"({"op": "config_network"})"));
  EXPECT_TRUE(first.receiveText(20s)) << "no answer after the descriptors were free again";
  EXPECT_TRUE(agent->running());
}

}  // namespace
