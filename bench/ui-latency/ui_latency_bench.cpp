// Round trip of a user-interface request through the real agent while an
// external-drive session runs: "-c" sent over the WebSocket, its reply read
// back. Target: median below 5 ms.
//
//   flock /tmp/restore-agent-ports.lock build/<dir>/bench/bench_ui_latency [requests]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "common/agent_process.h"
#include "common/temp_dir.h"
#include "common/ws_client.h"
#include "rig/rig_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double percentile(const std::vector<double>& sorted, double fraction) {
  const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(fraction * static_cast<double>(sorted.size())));
  return sorted[index];
}

bool isEspReply(const std::string& text) {
  Json::Value reply;
  Json::Reader reader;
  return reader.parse(text, reply) && reply.isObject() && reply["op"] == "-c";
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(200, std::atoi(argv[1])) : 500;

  TempDir work;
  const std::string image =
      work.write("TarnbyBMR_Backups/pc1/170315-1030_Image_C/170315-1030_Image_C_disk0.vhd", "x").string();
  std::filesystem::create_directories(work.path() / "TarnbyBMR_Backups/pc1/170315-1030_Image_ESP");

  AgentOptions options;
  options.workingDirectory = work.path();
  // Nothing here runs reboot or shutdown; the stand-ins make sure of it.
  options.pathPrefix = Rig::binDir().string();
  AgentProcess agent(options);

  WsClient client;
  if (!client.connect("127.0.0.1", AgentProcess::port, "/backend", 5s)) {
    std::fprintf(stderr, "cannot connect: %s\n", client.lastError().c_str());
    return 1;
  }
  client.sendText(R"({"op": "init", "mode": "EXTERNAL"})");

  Json::Value request;
  request["op"] = "-c";
  request["args"] = image;
  const std::string text = request.toStyledString();

  // Warm-up: the session thread starts and the first reply proves it serves.
  for (int i = 0; i < 20; ++i) {
    client.sendText(text);
    const auto reply = client.receiveText(5s);
    if (!reply || !isEspReply(*reply)) {
      std::fprintf(stderr, "no reply to -c during warm-up\n%s\n", agent.log().c_str());
      return 1;
    }
  }

  std::vector<double> millis;
  millis.reserve(static_cast<size_t>(requests));
  for (int i = 0; i < requests; ++i) {
    const auto start = Clock::now();
    client.sendText(text);
    const auto reply = client.receiveText(5s);
    const auto end = Clock::now();
    if (!reply || !isEspReply(*reply)) {
      std::fprintf(stderr, "request %d: no reply\n", i);
      return 1;
    }
    millis.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  std::sort(millis.begin(), millis.end());
  std::printf("ui-latency: %d \"-c\" round trips through the agent with an external session\n", requests);
  std::printf("  min    %8.3f ms\n", millis.front());
  std::printf("  median %8.3f ms  (target < 5 ms: %s)\n", percentile(millis, 0.5),
              percentile(millis, 0.5) < 5.0 ? "met" : "MISSED");
  std::printf("  p99    %8.3f ms\n", percentile(millis, 0.99));
  std::printf("  max    %8.3f ms\n", millis.back());
  return 0;
}
