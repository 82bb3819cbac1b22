#include "control/secret_mask.h"

#include <cctype>

namespace {

constexpr const char* kKey = "\"pass\"";
constexpr const char* kMask = "\"***\"";

size_t skipBlanks(const std::string& text, size_t at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
    ++at;
  }
  return at;
}

// One past the end of the value that starts at `at`: a string up to its
// closing quote, anything else up to the next separator.
size_t valueEnd(const std::string& text, size_t at) {
  if (at < text.size() && text[at] == '"') {
    for (size_t i = at + 1; i < text.size(); ++i) {
      if (text[i] == '\\') {
        ++i;
      } else if (text[i] == '"') {
        return i + 1;
      }
    }
    return text.size();
  }
  int depth = 0;
  for (size_t i = at; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '[' || c == '{') {
      ++depth;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    } else if (depth == 0 && (c == ',' || c == '}' || c == ']')) {
      return i;
    }
  }
  return text.size();
}

}  // namespace

std::string maskSecrets(const std::string& text) {
  std::string masked;
  size_t from = 0;
  for (;;) {
    const size_t key = text.find(kKey, from);
    if (key == std::string::npos) {
      break;
    }
    const size_t afterKey = key + std::char_traits<char>::length(kKey);
    const size_t colon = skipBlanks(text, afterKey);
    if (colon >= text.size() || text[colon] != ':') {
      masked.append(text, from, afterKey - from);
      from = afterKey;
      continue;
    }
    const size_t value = skipBlanks(text, colon + 1);
    masked.append(text, from, value - from);
    masked += kMask;
    from = valueEnd(text, value);
  }
  masked.append(text, from, std::string::npos);
  return masked;
}
