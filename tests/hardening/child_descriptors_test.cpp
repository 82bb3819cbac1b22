// The programs the agent starts (the network script, the restore tool, the
// shell tools) must not inherit its sockets. A restore tool runs for as long
// as an image takes to write; holding a copy of the listening socket, it
// would keep port 12209 taken after the agent has gone, so a restarted agent
// could not listen, and holding a copy of a connection, it would keep that
// connection open after the agent closed it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/agent_process.h"
#include "common/temp_dir.h"
#include "common/ws_client.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ChildDescriptors, TheNetworkScriptInheritsNoSocketOfTheAgent) {
  TempDir dir;
  const fs::path work = dir.path() / "work";
  const fs::path listing = dir.path() / "descriptors";
  fs::create_directories(work);
  // The script lists its own open descriptors before it answers.
  dir.write("work/get_ip.sh", "#!/bin/sh\nls -l /proc/$$/fd > '" + listing.string() +
                                  "'\necho '{\"interface\": \"eth0\"}'\n");
  fs::permissions(work / "get_ip.sh", fs::perms::owner_all, fs::perm_options::add);

  AgentOptions options;
  options.workingDirectory = work;
  AgentProcess agent(options);
  WsClient client;
  ASSERT_TRUE(client.connect("127.0.0.1", AgentProcess::port, "/backend", 5s)) << client.lastError();
  ASSERT_TRUE(client.sendText(R"({"op": "config_network"})"));
  ASSERT_TRUE(client.receiveText(10s)) << agent.log();

  const std::string descriptors = readFile(listing);
  ASSERT_FALSE(descriptors.empty());
  EXPECT_EQ(descriptors.find("socket:"), std::string::npos) << descriptors;
}

}  // namespace
