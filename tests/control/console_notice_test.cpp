// The lines that tell whoever sits at the machine how to reach the agent.
#include "control/console_notice.h"
#include "control/qr_text.h"

#include "common/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

TEST(ConsoleNotice, OneLinePerAddressAnotherHostCouldUse) {
  const std::vector<std::string> addresses = {"127.0.0.1", "192.168.7.20", "::1", "fe80::1", "2001:db8::7"};
  EXPECT_EQ(consoleLines(addresses, "Tok_en-1", 12209),
            (std::vector<std::string>{"Open http://192.168.7.20:12209/?token=Tok_en-1",
                                      "Open http://[2001:db8::7]:12209/?token=Tok_en-1"}));
  EXPECT_EQ(consoleLines({"10.0.0.5"}, "", 12209), std::vector<std::string>{"Open http://10.0.0.5:12209/"});
}

TEST(ConsoleNotice, TheConsoleFileFollowsTheAddressesAndGoesAway) {
  TempDir dir;
  ConsoleNotice notice(dir.path(), "tok", 12209);
  const fs::path file = dir.path() / consoleIssueFileName;

  ::testing::internal::CaptureStdout();
  notice.update({"127.0.0.1", "10.0.0.5"});
  notice.update({"10.0.0.5", "127.0.0.1"});
  notice.update({"10.0.0.6"});
  const std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(log, "Open http://10.0.0.5:12209/?token=tok\nOpen http://10.0.0.6:12209/?token=tok\n");
  const std::string shown = fileContent(file);
  EXPECT_NE(shown.find("Open http://10.0.0.6:12209/?token=tok\n"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("10.0.0.5"), std::string::npos) << shown;

  notice.remove();
  EXPECT_FALSE(fs::exists(file));

  // Without the folder (no agetty that reads it) only the log shows them.
  ConsoleNotice nowhere(dir.path() / "absent", "tok", 12209);
  ::testing::internal::CaptureStdout();
  nowhere.update({"10.0.0.5"});
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(fs::exists(dir.path() / "absent"));
}

// An operator's own token may hold characters a URL cannot carry; agetty
// would even take a backslash for one of its escapes.
TEST(ConsoleNotice, AConfiguredTokenIsPercentEncodedInTheAddress) {
  EXPECT_EQ(consoleLines({"10.0.0.5"}, "a\\b c&d#e%f~g.h", 12209),
            std::vector<std::string>{"Open http://10.0.0.5:12209/?token=a%5Cb%20c%26d%23e%25f~g.h"});
}

TEST(ConsoleNotice, TheConsoleFileCarriesAQrCodeOfTheFirstAddressAndTheLogDoesNot) {
  TempDir dir;
  ConsoleNotice notice(dir.path(), "first-token", 12209);
  const fs::path file = dir.path() / consoleIssueFileName;

  ::testing::internal::CaptureStdout();
  notice.update({"10.0.0.5", "192.168.7.20"});
  std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(log, "Open http://10.0.0.5:12209/?token=first-token\nOpen http://192.168.7.20:12209/?token=first-token\n");

  const auto qrBlock = [](const std::string& url) {
    std::string block;
    for (const std::string& row : qrTextLines(url)) {
      block += "  " + row + "\n";
    }
    return block;
  };
  std::string shown = fileContent(file);
  const std::string firstCode = qrBlock("http://10.0.0.5:12209/?token=first-token");
  ASSERT_GT(firstCode.size(), 100u);
  EXPECT_NE(shown.find("Open http://192.168.7.20:12209/?token=first-token\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find(firstCode), std::string::npos) << shown;
  EXPECT_EQ(shown.find(qrBlock("http://192.168.7.20:12209/?token=first-token")), std::string::npos);
  EXPECT_EQ(shown.find('\\'), std::string::npos) << "agetty would read a backslash as an escape";

  // A new token: new lines, logged once each, and a new code.
  notice.replaceToken("second-token");
  ::testing::internal::CaptureStdout();
  notice.update({"10.0.0.5", "192.168.7.20"});
  notice.update({"10.0.0.5", "192.168.7.20"});
  log = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(log,
            "Open http://10.0.0.5:12209/?token=second-token\nOpen http://192.168.7.20:12209/?token=second-token\n");
  shown = fileContent(file);
  EXPECT_EQ(shown.find("first-token"), std::string::npos) << shown;
  EXPECT_EQ(shown.find(firstCode), std::string::npos);
  EXPECT_NE(shown.find(qrBlock("http://10.0.0.5:12209/?token=second-token")), std::string::npos) << shown;
}

}  // namespace
