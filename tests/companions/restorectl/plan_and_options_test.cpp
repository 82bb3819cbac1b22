#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "options.h"
#include "restore_plan.h"
#include "websocket_transport.h"

namespace restorectl {
namespace {

using ::testing::HasSubstr;

DiskReport reportWith(std::vector<TargetDisk> targets, std::vector<SourceDisk> sources) {
  DiskReport report;
  report.error = "0";
  report.targets = std::move(targets);
  report.sources = std::move(sources);
  return report;
}

TargetDisk target(const std::string& device, std::int64_t size) {
  TargetDisk disk;
  disk.device = device;
  disk.size = size;
  return disk;
}

TEST(RestorectlMaps, ParsedIntoTargets) {
  std::string error;
  const auto targets = parseMaps({"/dev/sdb=k1,k2", "/dev/sda=k3", "/dev/sdb=k4"}, error);
  ASSERT_TRUE(targets.has_value()) << error;
  ASSERT_EQ(targets->size(), 2u);
  EXPECT_EQ((*targets)[0].device, "/dev/sdb");
  EXPECT_EQ((*targets)[0].images, (std::vector<std::string>{"k1", "k2", "k4"}));
  EXPECT_EQ((*targets)[1].images, (std::vector<std::string>{"k3"}));
  EXPECT_EQ(planImages(*targets), (std::vector<std::string>{"k1", "k2", "k4", "k3"}));

  // Paths may hold "=" after the device.
  const auto paths = parseMaps({"/dev/sda=/mnt/a=b/x.vhd"}, error);
  ASSERT_TRUE(paths.has_value());
  EXPECT_EQ((*paths)[0].images[0], "/mnt/a=b/x.vhd");
}

TEST(RestorectlMaps, MistakesAreRefused) {
  for (const std::vector<std::string>& mappings : std::vector<std::vector<std::string>>{
           {}, {"/dev/sda"}, {"sda=k1"}, {"/dev/=k1"}, {"/dev/sda="}, {"/dev/sda=k1,,k2"},
           {"/dev/sda=k1", "/dev/sdb=k1"}}) {
    std::string error;
    EXPECT_FALSE(parseMaps(mappings, error).has_value()) << ::testing::PrintToString(mappings);
    EXPECT_FALSE(error.empty());
  }
}

TEST(RestorectlPlanChecks, AcceptsImagesOfOneSourceOnALargeEnoughOfferedDisk) {
  const auto report = reportWith({target("/dev/sda", 500), target("/dev/sdb", 1000)},
                                 {{"Disk 0", 500, {"c", "d"}}, {"Disk 1", 900, {"e"}}});
  // Exactly the target's size fits.
  EXPECT_EQ(checkPlan({{"/dev/sda", {"c", "d"}}, {"/dev/sdb", {"e"}}}, report), std::nullopt);
}

TEST(RestorectlPlanChecks, RefusesADiskInUse) {
  TargetDisk busy = target("/dev/sda", 500);
  busy.inUse = "partition /dev/sda1 of /dev/sda is mounted on /";
  const auto report = reportWith({busy}, {{"Disk 0", 400, {"c"}}});
  EXPECT_THAT(checkPlan({{"/dev/sda", {"c"}}}, report).value_or(""),
              HasSubstr("/dev/sda cannot be written now: partition /dev/sda1 of /dev/sda is mounted on /"));
}

TEST(RestorectlPlanChecks, RefusesWhatWouldHarmADisk) {
  const auto report = reportWith({target("/dev/sda", 500), target("/dev/sdb", -1)},
                                 {{"Disk 0", 400, {"c", "d"}}, {"Disk 1", 600, {"e"}},
                                  {"Disk ", 100, {"no-number"}}, {"Disk 3", 0, {"no-partitions"}}});
  EXPECT_THAT(checkPlan({{"/dev/sdc", {"c"}}}, report).value_or(""),
              HasSubstr("/dev/sdc is not one of the agent's target disks (it offers /dev/sda and /dev/sdb)"));
  EXPECT_THAT(checkPlan({{"/dev/sda", {"x"}}}, report).value_or(""),
              HasSubstr("could not read the partition table of \"x\""));
  EXPECT_THAT(checkPlan({{"/dev/sda", {"no-number"}}}, report).value_or(""),
              HasSubstr("could not read the partition-table data of \"no-number\""));
  EXPECT_THAT(checkPlan({{"/dev/sda", {"no-partitions"}}}, report).value_or(""),
              HasSubstr("could not read the partition-table data of \"no-partitions\""));
  EXPECT_THAT(checkPlan({{"/dev/sda", {"c", "e"}}}, report).value_or(""),
              HasSubstr("come from different source disks (Disk 0 and Disk 1)"));
  EXPECT_THAT(checkPlan({{"/dev/sda", {"e"}}}, report).value_or(""),
              HasSubstr("Disk 1 (600 bytes) does not fit on /dev/sda (500 bytes)"));
  EXPECT_THAT(checkPlan({{"/dev/sdb", {"c"}}}, report).value_or(""),
              HasSubstr("did not give the size of /dev/sdb"));
  EXPECT_THAT(checkPlan({{"/dev/sda", {"c"}}}, reportWith({}, {{"Disk 0", 1, {"c"}}})).value_or(""),
              HasSubstr("it offers none"));
}

TEST(RestorectlPlanChecks, PlanIsShownInTheOrderTheAgentWrites) {
  const auto report = reportWith({target("/dev/sda", 1 << 20), target("/dev/sdb", 1 << 20)},
                                 {{"Disk 0", 1024, {"c"}}, {"Disk 1", 2048, {"e"}}});
  const std::string text =
      describePlan({{"/dev/sdb", {"e"}}, {"/dev/sda", {"c"}}}, report, {{"c", true}, {"e", false}});
  EXPECT_LT(text.find("/dev/sda"), text.find("/dev/sdb"));
  EXPECT_THAT(text, HasSubstr("<- c  from Disk 0 (1.0 KiB), with its EFI system partition\n"));
  EXPECT_THAT(text, HasSubstr("<- e  from Disk 1 (2.0 KiB)\n"));
}

std::optional<Options> parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return parseCommandLine(args, error != nullptr ? *error : ignored);
}

TEST(RestorectlCommandLine, Commands) {
  auto options = parse({"server", "restore", "--client", "pc1", "--map", "/dev/sda=k1,k2",
                        "--map=/dev/sdb=k3", "--yes", "--timeout", "2.5"});
  ASSERT_TRUE(options.has_value());
  EXPECT_EQ(options->command, CommandKind::ServerRestore);
  EXPECT_EQ(options->client, "pc1");
  ASSERT_EQ(options->targets.size(), 2u);
  EXPECT_EQ(options->targets[1].images, (std::vector<std::string>{"k3"}));
  EXPECT_TRUE(options->yes);
  EXPECT_EQ(options->timeout, std::chrono::milliseconds(2500));

  options = parse({"--json", "--url", "ws://10.0.0.5/backend", "server", "report", "--client=pc1", "k1", "k2"});
  ASSERT_TRUE(options.has_value());
  EXPECT_EQ(options->command, CommandKind::ServerReport);
  EXPECT_EQ(options->images, (std::vector<std::string>{"k1", "k2"}));
  EXPECT_TRUE(options->json);
  EXPECT_EQ(options->url, "ws://10.0.0.5/backend");

  EXPECT_EQ(parse({"server", "images", "pc1"})->client, "pc1");
  EXPECT_EQ(parse({"usb", "clients"})->folder, "");
  EXPECT_EQ(parse({"usb", "points", "--", "--odd-folder"})->folder, "--odd-folder");
  EXPECT_EQ(parse({"usb", "report", "/a.vhd", "/b.raw"})->images.size(), 2u);
  EXPECT_EQ(parse({"reboot"})->command, CommandKind::Reboot);
  EXPECT_TRUE(parse({"reboot", "--force"})->force);
  EXPECT_FALSE(parse({"reboot"})->force);
  EXPECT_EQ(parse({"watch"})->command, CommandKind::Watch);
  EXPECT_EQ(parse({})->command, CommandKind::Help);
  EXPECT_EQ(parse({"cancel", "--help"})->command, CommandKind::Help);
}

TEST(RestorectlCommandLine, MistakesAreExplained) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"server"},
           {"server", "images"},
           {"server", "report", "k1"},
           {"server", "restore", "--map", "/dev/sda=k"},
           {"server", "restore", "--client", "pc1"},
           {"usb", "points"},
           {"usb", "restore", "--client", "x", "--map", "/dev/sda=/a"},
           {"usb", "mount", "--map", "/dev/sda=/a"},
           {"reboot", "now"},
           {"watch", "--force"},
           {"frobnicate"},
           {"network", "--timeout", "0"},
           {"network", "--timeout", "soon"},
           {"network", "--timeout"},
           {"network", "--color"},
           {"network", "--json=1"},
           {"server", "clients", "--password", "a", "--password-file", "f"},
       }) {
    std::string error;
    EXPECT_FALSE(parse(args, &error).has_value()) << ::testing::PrintToString(args);
    EXPECT_FALSE(error.empty()) << ::testing::PrintToString(args);
  }
}

TEST(RestorectlAgentAddress, ParsedWithDefaults) {
  std::string error;
  auto url = parseAgentUrl("ws://127.0.0.1:12209/backend", error);
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->host, "127.0.0.1");
  EXPECT_EQ(url->port, "12209");
  EXPECT_EQ(url->path, "/backend");

  url = parseAgentUrl("ws://rescue-box", error);
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->port, "12209");
  EXPECT_EQ(url->path, "/backend");

  url = parseAgentUrl("ws://[::1]:9000/backend/", error);
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->host, "::1");
  EXPECT_EQ(url->port, "9000");
  EXPECT_EQ(url->path, "/backend/");
  EXPECT_FALSE(url->tls);

  url = parseAgentUrl("wss://rescue-box.lan/backend", error);
  ASSERT_TRUE(url.has_value());
  EXPECT_TRUE(url->tls);
  EXPECT_EQ(url->host, "rescue-box.lan");
  EXPECT_EQ(url->port, "12209");

  for (const char* bad : {"http://x/backend", "https://x/backend", "wss:/x", "ws://", "ws://:12209/",
                          "ws://x:0/", "ws://x:70000/", "ws://x:/", "ws://::1/", "ws://[::1/",
                          "ws://x:12a/"}) {
    EXPECT_FALSE(parseAgentUrl(bad, error).has_value()) << bad;
  }
}

TEST(RestorectlAgentAddress, AccessTokenTravelsEncodedInTheQuery) {
  std::string error;
  auto url = parseAgentUrl("ws://127.0.0.1/backend", error);
  ASSERT_TRUE(url.has_value());
  addAccessToken(*url, "a b&token=x/%");
  EXPECT_EQ(url->path, "/backend?token=a%20b%26token%3Dx%2F%25");

  url = parseAgentUrl("ws://127.0.0.1/backend?client=1", error);
  ASSERT_TRUE(url.has_value());
  addAccessToken(*url, "t");
  EXPECT_EQ(url->path, "/backend?client=1&token=t");

  const auto options = parseCommandLine({"--token", "s3cret", "network"}, error);
  ASSERT_TRUE(options.has_value()) << error;
  EXPECT_EQ(options->token, "s3cret");
}

}  // namespace
}  // namespace restorectl
