#include "control/secret_mask.h"

#include <gtest/gtest.h>

#include <string>

TEST(MaskSecrets, EveryPassValueIsHiddenHoweverTheKeyIsSpelled) {
  const struct {
    const char* text;
    const char* masked;
  } cases[] = {
      {R"({"op": "auth", "pass": "hunter2"})", R"({"op":"auth","pass":"***"})"},
      {R"({"pass":"a\"b,c}","op":"auth"})", R"({"op":"auth","pass":"***"})"},
      {"{\n   \"op\" : \"auth\",\n   \"pass\" : \"s3cret\"\n}\n", R"({"op":"auth","pass":"***"})"},
      {R"({"op": "auth", "PASS": {"nested": ["x", 1]}})", R"({"PASS":"***","op":"auth"})"},
      {R"({"op": "auth", "p\u0061ss": 12345})", R"({"op":"auth","pass":"***"})"},
      {R"({"op": "auth", "pass": "first", "pass": "second"})", R"({"op":"auth","pass":"***"})"},
      {R"({"op": "-r", "args": [{"Pass": "x"}]})", R"({"args":[{"Pass":"***"}],"op":"-r"})"},
  };
  for (const auto& c : cases) {
    const std::string masked = maskSecrets(c.text);
    EXPECT_EQ(masked, c.masked) << c.text;
  }
}

TEST(MaskSecrets, AMessageWithoutSecretsIsLoggedAsItCame) {
  for (const char* text : {R"({"op": "-u", "args": ["pass", "password"]})", R"({"op":"-e","args":"client"})"}) {
    EXPECT_EQ(maskSecrets(text), text);
  }
}

TEST(MaskSecrets, WhatIsNotAnObjectWithATextOpShowsOnlyItsLength) {
  for (const std::string& text : {std::string("abc"), std::string(), std::string(R"({"op": "auth", "pass": "cut off)"),
                                 std::string(R"([{"pass":"a"}])"), std::string(R"({"op": ["auth"], "pass": "x"})"),
                                 std::string(R"({"pass": "x"})"), std::string(R"({"op": "auth", "pass": "x"} trailing)"),
                                 std::string(5000, '[')}) {
    EXPECT_EQ(maskSecrets(text), "(" + std::to_string(text.size()) + " bytes, not a JSON object with a text \"op\")")
        << text;
  }
}
