#include "support/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cwctype>
#include <iterator>

#include <utf8.h>

std::vector<std::string> split(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(delimiter, start);
    if (end == std::string::npos) {
      end = text.size();
    }
    if (end > start) {
      pieces.push_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return pieces;
}

void Tokenize(const std::string& text, std::vector<std::string>& tokens, std::string separators) {
  size_t p = 0;
  // The first quote at or after p. Looked up again only once p has passed
  // it: searching from p for every token would scan the rest of a quoteless
  // text each time, hours for a listing of a few megabytes.
  size_t q = text.find('"');
  for (;;) {
    const size_t s = text.find_first_of(separators, p);
    if (s == std::string::npos) {
      break;
    }
    if (q != std::string::npos && q < p) {
      q = text.find('"', p);
    }
    if (q != std::string::npos && q > 0 && q < s) {
      const size_t e = text.find('"', q + 1);
      if (e == std::string::npos) {
        // An unclosed quote runs to the end of the text.
        tokens.push_back(text.substr(p));
        p = text.size();
        break;
      }
      tokens.push_back(text.substr(p, e - p + 1));
      p = e + 1;
    } else if (s == p) {
      tokens.emplace_back(" ");
      p = s + 1;
    } else {
      tokens.push_back(text.substr(p, s - p));
      p = s + 1;
    }
  }
  tokens.push_back(p < text.size() ? text.substr(p) : std::string());
  std::erase_if(tokens, [](const std::string& token) { return token.empty(); });
}

void TokenizeMail(const std::string& text, std::vector<std::string>& tokens, std::string separators) {
  const std::string set(separators.c_str());
  size_t p = 0;
  for (;;) {
    const size_t s = text.find_first_of(set, p);
    if (s == std::string::npos) {
      break;
    }
    tokens.push_back(text.substr(p, s - p));
    p = s + 1;
  }
  if (p < text.size()) {
    tokens.push_back(text.substr(p));
  }
}

std::string getbetween(std::string start, std::string end, std::string text) {
  const size_t found = text.find(start);
  if (found == std::string::npos) {
    return {};
  }
  const size_t from = found + start.size();
  size_t until = std::string::npos;
  if (end == "\n") {
    until = std::min(text.find("\r\n", from), text.find('\n', from));
  } else {
    until = text.find(end, from);
  }
  if (until == std::string::npos) {
    return {};
  }
  return text.substr(from, until - from);
}

std::string getuntil(std::string delimiter, std::string text) {
  const size_t found = text.find(delimiter);
  return found == std::string::npos ? std::string() : text.substr(0, found);
}

std::string getafterinc(const std::string& delimiter, const std::string& text) {
  const size_t found = text.find(delimiter);
  return found == std::string::npos ? std::string() : text.substr(found);
}

std::string getafter(const std::string& delimiter, const std::string& text) {
  const size_t found = text.find(delimiter);
  return found == std::string::npos ? std::string() : text.substr(found + delimiter.size());
}

std::string greplace(std::string pattern, std::string replacement, std::string text) {
  string_Replace(text, pattern, replacement);
  return text;
}

void string_Replace(std::string& text, std::string search, std::string replacement) {
  if (search.empty()) {
    return;
  }
  size_t pos = 0;
  while ((pos = text.find(search, pos)) != std::string::npos) {
    text.replace(pos, search.size(), replacement);
    pos += replacement.size();
  }
}

namespace {

std::string trimSet(const std::string& text, const char* set) {
  const size_t first = text.find_first_not_of(set);
  if (first == std::string::npos) {
    return {};
  }
  const size_t last = text.find_last_not_of(set);
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string trim(const std::string& text) { return trimSet(text, " \r\n\t"); }

std::string trim2(const std::string& text) { return trimSet(text, " \t\n"); }

std::string strlower(const std::string& text) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) {
    std::string copy = text;
    strlower_utf8(&copy);
    return copy;
  }
  std::string lowered = text;
  for (char& c : lowered) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return lowered;
}

void strlower_utf8(std::string* text) {
  // Lower-case only the valid prefix: decoding stops at the first invalid sequence.
  const auto valid_end = utf8::find_invalid(text->begin(), text->end());
  std::u32string code_points;
  utf8::unchecked::utf8to32(text->begin(), valid_end, std::back_inserter(code_points));
  std::string lowered;
  for (const char32_t cp : code_points) {
    utf8::unchecked::append(static_cast<uint32_t>(std::towlower(static_cast<wint_t>(cp))),
                            std::back_inserter(lowered));
  }
  *text = std::move(lowered);
}

uint64_t hexToULong(const std::string& hex) {
  static const std::string digits = "0123456789abcdef";
  uint64_t value = 0;
  for (const char c : strlower(hex)) {
    const size_t digit = digits.find(c);
    if (digit != std::string::npos) {
      value = value * 16 + digit;
    }
  }
  return value;
}

std::string hexToBytes(const std::string& hex) {
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(hexToULong(hex.substr(i, 2)) & 0xFF));
  }
  return bytes;
}

std::string ExtractFileName(std::string path, std::string separators) {
  std::string name;
  for (size_t i = path.size(); i-- > 0;) {
    const char c = path[i];
    if (c == '\0') {
      continue;
    }
    if (separators.find(c) != std::string::npos) {
      if (i + 1 == path.size()) {
        continue;
      }
      break;
    }
    name.insert(name.begin(), c);
  }
  return name;
}

bool FileExists(std::string path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  std::fclose(file);
  return true;
}

std::string getFile(std::string path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return {};
  }
  std::string content;
  const long end = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
  if (end >= 0) {
    // sysfs attributes report a size larger than their text: the rest stays
    // zero bytes and readers stop at the first non-digit.
    content.assign(static_cast<uint32_t>(end), '\0');
    std::fseek(file, 0, SEEK_SET);
    const size_t got = std::fread(content.data(), 1, content.size(), file);
    static_cast<void>(got);
  } else {
    // Not seekable: take what it yields rather than a bogus size.
    std::rewind(file);
    char block[4096];
    size_t got = 0;
    while ((got = std::fread(block, 1, sizeof(block), file)) > 0) {
      content.append(block, got);
    }
  }
  std::fclose(file);
  return content;
}

std::string convert(bool value) { return value ? "true" : "false"; }
std::string convert(int value) { return std::to_string(value); }
std::string convert(long value) { return std::to_string(value); }
std::string convert(long long value) { return std::to_string(value); }
std::string convert(unsigned int value) { return std::to_string(value); }
std::string convert(unsigned long value) { return std::to_string(value); }
std::string convert(unsigned long long value) { return std::to_string(value); }
