#include "support/log_line.h"

#include <cstdio>
#include <iostream>
#include <mutex>

namespace {

void write(const std::string& text) {
  static std::mutex mutex;
  const std::lock_guard lock(mutex);
  std::cout << text << std::flush;
}

}  // namespace

std::string escapeControlCharacters(const std::string& text, bool keepLayout) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 0x20 && byte != 0x7f) || (keepLayout && (c == '\n' || c == '\t'))) {
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\t') {
      escaped += "\\t";
    } else {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      escaped += code;
    }
  }
  return escaped;
}

void logLine(const std::string& line) { write(escapeControlCharacters(line) + '\n'); }

void logLayout(const std::string& text) { write(escapeControlCharacters(text, true) + '\n'); }
