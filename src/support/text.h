#pragma once
// Splitters, extractors and small conversions used on tool output and server
// replies. Edge behaviour (empty fields, missing delimiters) is relied on by
// callers; see the tests before changing any of it.
#include <cstdint>
#include <string>
#include <vector>

std::vector<std::string> split(const std::string& text, char delimiter);
void Tokenize(const std::string& text, std::vector<std::string>& tokens, std::string separators);
void TokenizeMail(const std::string& text, std::vector<std::string>& tokens, std::string separators);

std::string getbetween(std::string start, std::string end, std::string text);
std::string getuntil(std::string delimiter, std::string text);
std::string getafterinc(const std::string& delimiter, const std::string& text);
std::string getafter(const std::string& delimiter, const std::string& text);

std::string greplace(std::string pattern, std::string replacement, std::string text);
void string_Replace(std::string& text, std::string search, std::string replacement);
std::string trim(const std::string& text);
std::string trim2(const std::string& text);

std::string strlower(const std::string& text);
void strlower_utf8(std::string* text);
uint64_t hexToULong(const std::string& hex);
std::string hexToBytes(const std::string& hex);

std::string ExtractFileName(std::string path, std::string separators = "/\\");
bool FileExists(std::string path);
std::string getFile(std::string path);

std::string convert(bool value);
std::string convert(int value);
std::string convert(long value);
std::string convert(long long value);
std::string convert(unsigned int value);
std::string convert(unsigned long value);
std::string convert(unsigned long long value);
