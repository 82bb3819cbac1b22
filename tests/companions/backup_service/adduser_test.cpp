// adduser with the real backup-service program: where the password comes
// from, and what is stored for it.
#include <gtest/gtest.h>

#include "common/backup_service_process.h"
#include "common/temp_dir.h"
#include "credentials.h"
#include "rig/rig_fixture.h"
#include "store.h"

namespace {

class AddUser : public ::testing::Test {
protected:
  RigRun addUser(const std::vector<std::string>& options, const std::string& input = "") {
    std::vector<std::string> argv{backupServiceBinaryPath().string(), "adduser", "--store", store().string(),
                                  "--user", "admin", "--rounds", "10"};
    argv.insert(argv.end(), options.begin(), options.end());
    return runProgram(argv, input);
  }

  std::filesystem::path store() const { return dir_.path() / "store"; }

  // Whether the store's only user logs in with `password`: the service keeps
  // what a client derives from salt and password.
  bool storedFor(const std::string& password) const {
    const auto users = Store(store()).users();
    return users.size() == 1 && users[0].name == "admin" &&
           users[0].digest == passwordDigest(password, users[0].salt, users[0].rounds);
  }

  TempDir dir_;
};

TEST_F(AddUser, ThePasswordComesFromTheFirstLineOfAFileOrOfStandardInput) {
  const auto file = dir_.write("password", "from a file\r\nsecond line\n");
  const RigRun fromFile = addUser({"--password-file", file.string()});
  ASSERT_EQ(fromFile.status, 0) << fromFile.output;
  EXPECT_TRUE(storedFor("from a file"));
  EXPECT_EQ(fromFile.output.find("warning"), std::string::npos) << fromFile.output;

  const RigRun fromInput = addUser({"--password-file", "-"}, "typed in\n");
  ASSERT_EQ(fromInput.status, 0) << fromInput.output;
  EXPECT_TRUE(storedFor("typed in")) << "the user is replaced with the new password";
  EXPECT_FALSE(storedFor("from a file"));
}

TEST_F(AddUser, APasswordOnTheCommandLineStillWorksWithAWarning) {
  const RigRun run = addUser({"--password", "visible"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(storedFor("visible"));
  EXPECT_NE(run.output.find("ps shows --password"), std::string::npos) << run.output;
}

TEST_F(AddUser, NoPasswordTwoOrAnUnreadableOneAddsNobody) {
  const auto file = dir_.write("password", "from a file\n");
  const auto empty = dir_.write("empty", "");
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--password", "visible", "--password-file", file.string()},
        std::vector<std::string>{},
        std::vector<std::string>{"--password-file", (dir_.path() / "missing").string()},
        std::vector<std::string>{"--password-file", empty.string()},
        std::vector<std::string>{"--password-file", "-"}}) {
    const RigRun run = addUser(options);
    EXPECT_NE(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("--password"), std::string::npos) << "says what was wrong: " << run.output;
    EXPECT_TRUE(Store(store()).users().empty());
  }
}

}  // namespace
