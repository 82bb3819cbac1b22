#include "hardening/malformed_messages.h"

#include <random>

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string object(const std::string& op, const std::string& members) {
  return "{\"op\": " + quoted(op) + (members.empty() ? "" : ", " + members) + "}";
}

}  // namespace

std::vector<std::string> wrongValues() {
  return {
      "null",
      "true",
      "false",
      "0",
      "-1",
      "2147483648",
      "-9223372036854775809",
      "18446744073709551616",
      "1.5e308",
      "-0.0",
      "\"\"",
      "\"x\"",
      "\"\\u0000\"",
      "\"\\ud800\"",
      "[]",
      "[null]",
      "[[], {}]",
      "[1, 2.5, true]",
      "{}",
      "{\"a\": [1]}",
  };
}

std::vector<std::string> wrongMemberTypes() {
  std::vector<std::string> messages;
  for (const std::string& value : wrongValues()) {
    // Inside arrays only values that are not text: a text there would be an
    // image path or key of the right type.
    const bool text = value.front() == '"';
    const std::string inArray = text ? "null" : value;
    messages.push_back(value);
    messages.push_back("{\"op\": " + value + "}");
    messages.push_back("{\"op\": " + value + ", \"args\": " + value + "}");
    for (const char* op : {"-u", "-e", "-c"}) {
      messages.push_back(object(op, "\"args\": " + value));
      messages.push_back(object(op, "\"args\": [" + inArray + "]"));
      messages.push_back(object(op, "\"args\": [" + inArray + ", " + inArray + "]"));
    }
    // These two read the machine's disks in the external session: fewer forms.
    messages.push_back(object("-i", "\"args\": " + value));
    messages.push_back(object("-i", "\"args\": [" + inArray + ", " + inArray + "]"));
    messages.push_back(object("-m", "\"args\": " + value));
    messages.push_back(object("-r", "\"restorepoints\": " + value));
    messages.push_back(object("-r", "\"restorepoints\": [" + value + "]"));
    messages.push_back(object("-r", "\"restorepoints\": [{\"out\": " + value + ", \"in\": []}]"));
    const std::string nowhere = "{\"out\": " + quoted(kNowhereTarget);
    messages.push_back(object("-r", "\"restorepoints\": [" + nowhere + ", \"in\": " + value + "}]"));
    messages.push_back(object("-r", "\"restorepoints\": [" + nowhere + ", \"in\": [" + inArray + "]}]"));
    messages.push_back(object("auth", "\"pass\": " + value));
    messages.push_back(object("abort", "\"args\": " + value));
    messages.push_back(object("cancel-restore", "\"args\": " + value));
  }
  return messages;
}

std::vector<std::string> sessionStartsOfWrongMode() {
  std::vector<std::string> messages;
  for (const char* mode : {"null", "0", "\"\"", "[]", "{}", "\"bmr_server\"", "[\"BMR_SERVER\"]", "\"BMR_SERVER \""}) {
    messages.push_back(object("init", std::string("\"mode\": ") + mode));
  }
  return messages;
}

std::vector<std::string> deeplyNested(size_t depth) {
  const std::string arrays = std::string(depth, '[') + std::string(depth, ']');
  std::string objects;
  for (size_t i = 0; i < depth / 8; ++i) objects += "{\"op\": ";
  objects += "1" + std::string(depth / 8, '}');
  return {
      std::string(depth, '['),
      arrays,
      objects,
      object("-i", "\"args\": " + arrays),
      object("-u", "\"args\": " + arrays),
      object("-r", "\"restorepoints\": " + arrays),
      object("-c", "\"args\": " + objects),
  };
}

std::vector<std::string> nearSizeLimit(size_t size) {
  const auto fill = [size](const std::string& head, const std::string& tail) {
    return head + std::string(size - head.size() - tail.size(), 'a') + tail;
  };
  return {
      fill("", ""),
      fill("{\"op\": \"", "\"}"),
      fill("{\"op\": \"-c\", \"args\": \"", "\"}"),
      fill("{\"op\": \"-e\", \"args\": [\"", "\"]}"),
      fill("{\"op\": \"-r\", \"restorepoints\": [{\"in\": [], \"out\": \"", "\"}]}"),
      fill("{\"op\": \"auth\", \"pass\": \"", "\"}"),
  };
}

std::vector<std::string> notJson(size_t count, unsigned seed) {
  std::vector<std::string> messages = {
      "",
      " ",
      "{",
      "}",
      "{\"op\":",
      "{\"op\": \"reboot\"",
      "{\"op\": \"reboot\"}x",
      "{\"op\": \"reboot\"}{\"op\": \"reboot\"}",
      "{\"op\": \"reboot\",}",
      "{'op': 'reboot'}",
      "{op: \"shutdown\"}",
      "{\"op\": \"shutdown\" \"mode\": 1}",
      "{\"op\": \"reboot\\u0000\"}",
      "{\"op\": \"shutdown\\u0000now\"}",
      "{\"op\": \"REBOOT\"}",
      "{\"op\": \"\\u0072eboo\"}",
      "[{\"op\": \"reboot\"}]",
      "\"{\\\"op\\\": \\\"reboot\\\"}\"",
      "{\"op\": \"-r\", \"restorepoints\": [{\"out\": ",
      "{\"op\": \"-i\", \"args\": [1, 2,",
      "start-over",
      "-r",
      "nul\x01\x02\x03 bytes",
  };
  std::mt19937 random(seed);
  // Printable noise without "-", so that no line looks like an operation of
  // the external session, which matches its operations as substrings.
  const std::string alphabet =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 {}[]\":,.\\/'!?#$%&*()+;<=>@^_`|~";
  std::uniform_int_distribution<size_t> length(1, 300);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  for (size_t i = 0; i < count; ++i) {
    std::string line(length(random), ' ');
    for (char& c : line) c = alphabet[pick(random)];
    messages.push_back(line);
  }
  return messages;
}
