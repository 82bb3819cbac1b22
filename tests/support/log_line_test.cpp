#include "support/log_line.h"

#include <gtest/gtest.h>

#include <string>

TEST(LogLine, UserTextCannotForgeALineOrDriveTheTerminal) {
  ::testing::internal::CaptureStdout();
  logLine("Client chosen: office-pc\nServer: Opened connection 0x1\r\x1b[2J\t\x7f end");
  logLayout("{\n\t\"op\" : \"-u\"\r\x1b[31m\n}");
  const std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(log,
            "Client chosen: office-pc\\nServer: Opened connection 0x1\\r\\x1b[2J\\t\\x7f end\n"
            "{\n\t\"op\" : \"-u\"\\r\\x1b[31m\n}\n");
}

TEST(LogLine, TextOutsideTheControlRangeIsUnchanged) {
  const std::string text = "Größe \"C:\\\\\" 100%";
  EXPECT_EQ(escapeControlCharacters(text), text);
}
