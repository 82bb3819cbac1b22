// The service password opens every backup: it is not taken from a file that
// other users of the machine could have read.
#include "protocol/server_connection.h"

#include "common/temp_dir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

TEST(PasswordFile, OnlyAFileOfItsOwnerAloneIsRead) {
  TempDir dir;
  const std::string path = dir.write("keelback/pw.txt", "s3rvice").string();

  ::chmod(path.c_str(), 0600);
  EXPECT_EQ(readPasswordFile(path), "s3rvice");

  for (const mode_t mode : {0644, 0640, 0604}) {
    ::chmod(path.c_str(), mode);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(readPasswordFile(path), "") << std::oct << mode;
    const std::string log = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Refusing to read " + path), std::string::npos) << log;
  }
}
