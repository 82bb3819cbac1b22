#include "control/secret_mask.h"

#include <gtest/gtest.h>

TEST(MaskSecrets, EveryPassValueIsHiddenAndNothingElseChanges) {
  const struct {
    const char* text;
    const char* masked;
  } cases[] = {
      {R"({"op": "auth", "pass": "hunter2"})", R"({"op": "auth", "pass": "***"})"},
      {R"({"pass":"a\"b,c}","op":"auth"})", R"({"pass":"***","op":"auth"})"},
      {"{\n   \"op\" : \"auth\",\n   \"pass\" : \"s3cret\"\n}\n", "{\n   \"op\" : \"auth\",\n   \"pass\" : \"***\"\n}\n"},
      {R"({"pass": {"nested": ["x", 1]}, "op": "auth"})", R"({"pass": "***", "op": "auth"})"},
      {R"({"pass": 12345})", R"({"pass": "***"})"},
      {R"({"op": "auth", "pass": "cut off)", R"({"op": "auth", "pass": "***")"},
      {R"([{"pass":"a"},{"pass":"b"}])", R"([{"pass":"***"},{"pass":"***"}])"},
      {R"({"op": "-u", "args": ["pass", "password"]})", R"({"op": "-u", "args": ["pass", "password"]})"},
      {"abc", "abc"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(maskSecrets(c.text), c.masked) << c.text;
  }
}
