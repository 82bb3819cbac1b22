// The network script that ships beside the agent: whatever happens, its first
// output line is one JSON value.
#include "common/temp_dir.h"
#include "support/command.h"
#include "support/shell_quote.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <memory>
#include <string>

namespace {

const std::string kScript = std::string(RESTORE_AGENT_SOURCE_DIR) + "/companions/get_ip.sh";

Json::Value firstLineAsJson(const std::string& command) {
  std::string output;
  const auto lines = runCommand(command, output);
  EXPECT_FALSE(lines.empty()) << command;
  if (lines.empty()) {
    return {};
  }
  Json::Value value;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(lines[0].data(), lines[0].data() + lines[0].size(), &value, &errors)) << lines[0];
  return value;
}

TEST(GetIpScript, ReportsTheInterfacesOfThisMachine) {
  const Json::Value report = firstLineAsJson("GET_IP_SKIP_DHCP=1 " + shellQuote(kScript));
  ASSERT_TRUE(report["interfaces"].isArray());
  EXPECT_FALSE(report.isMember("error"));
  bool loopbackSeen = false;
  for (const auto& card : report["interfaces"]) {
    EXPECT_TRUE(card["ipv4"].isArray());
    EXPECT_TRUE(card["ipv6"].isArray());
    if (card["name"] == "lo") {
      loopbackSeen = true;
      EXPECT_EQ(card["ipv4"][0], "127.0.0.1/8");
    }
  }
  EXPECT_TRUE(loopbackSeen);
}

TEST(GetIpScript, StillAnswersInJsonWhenTheNetworkCannotBeRead) {
  TempDir dir;
  dir.write("bin/ip", "#!/bin/sh\necho 'ip: broken' >&2\nexit 1\n");
  std::filesystem::permissions(dir.path() / "bin/ip", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add);
  const Json::Value report =
      firstLineAsJson("PATH=" + shellQuote((dir.path() / "bin").string()) + ":\"$PATH\" " + shellQuote(kScript));
  EXPECT_TRUE(report["interfaces"].isArray());
  EXPECT_EQ(report["interfaces"].size(), 0u);
  EXPECT_TRUE(report["error"].isString());
}

}  // namespace
